#include "scraper/HeadlessRunView.h"
