#include "scraper/StampedLine.h"
