#include "scraper/Scraper.h"
