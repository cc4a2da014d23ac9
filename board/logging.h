#pragma once
// The board library's logging category, "zrv.board" (enable with
// QT_LOGGING_RULES="zrv.board.debug=true").

#include <QLoggingCategory>

namespace zrv {
Q_DECLARE_LOGGING_CATEGORY(lcBoard)
}
