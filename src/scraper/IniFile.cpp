#include "scraper/IniFile.h"
