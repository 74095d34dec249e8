#include "download/main_view.h"
