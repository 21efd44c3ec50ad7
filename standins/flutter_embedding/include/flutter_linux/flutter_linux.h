#ifndef FLUTTER_LINUX_FLUTTER_LINUX_H_
#define FLUTTER_LINUX_FLUTTER_LINUX_H_

// The one header applications include. The individual headers refuse to be
// included on their own so that code keeps compiling when they are
// reorganised.
#ifndef FLUTTER_LINUX_COMPILATION
#define FLUTTER_LINUX_COMPILATION
#define FLUTTER_LINUX_COMPILATION_SET_BY_UMBRELLA
#endif

#include <flutter_linux/fl_binary_messenger.h>
#include <flutter_linux/fl_dart_project.h>
#include <flutter_linux/fl_engine.h>
#include <flutter_linux/fl_message_codec.h>
#include <flutter_linux/fl_method_call.h>
#include <flutter_linux/fl_method_channel.h>
#include <flutter_linux/fl_method_codec.h>
#include <flutter_linux/fl_method_response.h>
#include <flutter_linux/fl_plugin_registrar.h>
#include <flutter_linux/fl_plugin_registry.h>
#include <flutter_linux/fl_standard_message_codec.h>
#include <flutter_linux/fl_standard_method_codec.h>
#include <flutter_linux/fl_texture_registrar.h>
#include <flutter_linux/fl_value.h>
#include <flutter_linux/fl_view.h>

#ifdef FLUTTER_LINUX_COMPILATION_SET_BY_UMBRELLA
#undef FLUTTER_LINUX_COMPILATION
#undef FLUTTER_LINUX_COMPILATION_SET_BY_UMBRELLA
#endif

#endif  // FLUTTER_LINUX_FLUTTER_LINUX_H_
