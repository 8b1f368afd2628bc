// Event signatures shared by the components. An empty std::function is an unassigned event
// and is skipped by whoever would fire it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TObject;

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TOnStatus = std::function<void(TObject* Sender, const std::string& Status)>;
using THandlerEvent = std::function<void(bool& Handled)>;
using TOnHostResolved = std::function<void(TObject* Sender)>;
using TSockErrorEvent =
    std::function<void(TObject* Sender, std::uint16_t ErrorNo, const std::string& ErrorMsg)>;
using TOnErrorEvent =
    std::function<void(TObject* Sender, std::string Operation, std::string ErrMsg)>;
