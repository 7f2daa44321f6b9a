#pragma once

// RegularFile lives in sys/ now, below every folder; this name stays for the
// sources that still include it from here.
#include "sys/regularfile.h"
