#pragma once

class QIcon;

namespace shell {

// The program's icon, drawn here rather than loaded, in the sizes a task bar asks for.
QIcon ApplicationIcon();

}  // namespace shell
