#include "app/codepage.h"
