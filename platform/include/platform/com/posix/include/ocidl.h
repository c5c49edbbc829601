#pragma once
// What widl-generated headers include by this name; the stand-in declares it all in one place.
#include "platform/com.h"
