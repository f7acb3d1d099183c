// What the converter component's shared library (libvexav) exports. The
// library is built with every symbol hidden; the classes and functions of
// its public headers carry VEXAV_API, which makes them visible. In the
// static libraries that the programs link, the marks change nothing.
#pragma once

#define VEXAV_API __attribute__((visibility("default")))
// The private helpers (member functions and nested classes) of an exported
// class, which would otherwise be exported with it.
#define VEXAV_LOCAL __attribute__((visibility("hidden")))
