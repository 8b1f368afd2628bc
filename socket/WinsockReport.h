// The lines a component reports when it starts the socket layer (its WinsockInfo).
#pragma once

#include <string>
#include <vector>

#include "platform/WinSock.h"

// The six lines of the start-up report. A process that creates one component per request
// starts the socket layer each time with the same answer: the lines are made again only
// when the answer differs from the last one.
const std::vector<std::string>& StartupReport(const win::WSADATA& Data);
