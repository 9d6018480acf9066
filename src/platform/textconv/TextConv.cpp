#include "TextConv.h"
