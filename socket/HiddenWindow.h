// Hidden message-only windows of a registered class, carrying their owner in word 0.
#pragma once

#include "platform/WinUser.h"

// Registers Class on first use (filling in the module instance) and creates a never-shown
// window of it with Owner in word 0. Returns 0 when the class cannot be registered or the
// window cannot be created.
win::HWND CreateHiddenWindow(win::WNDCLASSA& Class, void* Owner);
