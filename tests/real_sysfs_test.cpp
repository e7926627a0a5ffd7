#include "reader_fixture.h"
