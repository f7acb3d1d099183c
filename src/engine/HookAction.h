// The decision of the frame-hook gate for the current picture: a type of its
// own, so that the converter component's interface can name it without the
// rest of the engine.
#pragma once

namespace vexav {

enum class THookAction { haContinue, haIgnore, haStop };

}  // namespace vexav
