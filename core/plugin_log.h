#pragma once
// The logging category of the plug-in process's Qt side: lcPlugin(), the one
// "nuvex.plugin" category, declared with the others in the contract.
#include "contract/qt_log_sink.h"
