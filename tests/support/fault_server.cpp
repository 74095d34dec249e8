#include "tests/support/fault_server.h"
