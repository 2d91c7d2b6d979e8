#include "scraper/TelegramNotice.h"
