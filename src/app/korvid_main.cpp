#include "app/korvid_main.h"
