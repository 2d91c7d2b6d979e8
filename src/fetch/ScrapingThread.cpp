#include "fetch/ScrapingThread.h"
