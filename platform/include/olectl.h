#pragma once
// OLE controls: the layer has only their status codes, which live in winerror.h here.
#include <winerror.h>
