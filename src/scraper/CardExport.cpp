#include "scraper/CardExport.h"
