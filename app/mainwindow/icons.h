#pragma once
// Toolbar icons: the desktop theme's when it has them, else drawn here, so that the toolbar
// reads at a glance on a bare system too.

#include <QIcon>

namespace zrvlog {

enum class ToolIcon { New, Open, Save, Print, Copy, Run, Stop, Options };

QIcon toolIcon(ToolIcon which);

}  // namespace zrvlog
