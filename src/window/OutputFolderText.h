// The output folder box takes a typed or pasted path as well as one chosen
// with Change. What it holds is turned into the folder it names before a
// run uses it.
#pragma once

#include <QString>

namespace vexav {

// The folder a typed text names, cleaned ("//", "." and ".." resolved, no
// trailing "/"): blanks around the text are dropped; "~" alone or followed
// by "/" stands for homeFolder; any other path that does not start with "/"
// is taken under homeFolder (a window has no working folder the user could
// know). Empty when the text is empty or blank. "~user" forms are not
// expanded: they are taken as a relative name.
QString TypedOutputFolder(const QString& text, const QString& homeFolder);

}  // namespace vexav
