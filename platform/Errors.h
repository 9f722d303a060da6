// The two exceptions that end an operation: an integer code (the text is in
// the last error) or a message text. Caught at the worker's top and in
// command handlers.
#pragma once
#include "platform/Text.h"

struct DvCodeError {
  int code;
};

struct DvTextError {
  WString text;
};
