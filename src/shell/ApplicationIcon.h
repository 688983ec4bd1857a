#pragma once

class QIcon;
class QImage;

namespace shell {

// The icon drawn at `size` by `size` pixels. Needs no application object, so a build step can
// export it for the desktop.
QImage DrawApplicationIcon(int size);

// The program's icon, drawn here rather than loaded, in the sizes a task bar asks for.
QIcon ApplicationIcon();

}  // namespace shell
