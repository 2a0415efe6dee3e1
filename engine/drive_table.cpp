#include "drive_table.h"
