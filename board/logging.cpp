#include "board/logging.h"

namespace zrv {
// Warnings by default: the debug messages trace every open, close and failed read.
Q_LOGGING_CATEGORY(lcBoard, "zrv.board", QtWarningMsg)
}  // namespace zrv
