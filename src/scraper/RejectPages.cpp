#include "scraper/RejectPages.h"
