#include "scraper/HaveStore.h"
