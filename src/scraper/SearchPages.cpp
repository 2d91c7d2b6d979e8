#include "scraper/SearchPages.h"
