#pragma once
// The logging category of the windows: lcUi(), the one "nuvex.ui" category,
// declared with the others in the contract.
#include "contract/qt_log_sink.h"
