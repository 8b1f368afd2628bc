// The message record a hidden window's procedure hands to the object stored in its word 0.
#pragma once

#include "platform/WinTypes.h"

struct TMessage {
  win::UINT Msg = 0;
  win::WPARAM WParam = 0;
  win::LPARAM LParam = 0;
  win::LRESULT Result = 0;
};
