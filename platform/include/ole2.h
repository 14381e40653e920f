#pragma once
// COM and OLE Automation in one include, as on Windows.
#include "objbase.h"
#include "oleauto.h"
