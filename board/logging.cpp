#include "board/logging.h"

namespace zrv {
Q_LOGGING_CATEGORY(lcBoard, "zrv.board")
}
