#ifndef FLUTTER_LINUX_FL_TEXTURE_REGISTRAR_H_
#define FLUTTER_LINUX_FL_TEXTURE_REGISTRAR_H_

#if !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

G_BEGIN_DECLS

// The type only, so that a plug-in registrar has the same slots as in the
// real embedding. Nothing here draws textures: there is no implementation,
// and the interface has none of the real one's texture functions.
G_MODULE_EXPORT
G_DECLARE_INTERFACE(FlTextureRegistrar,
                    fl_texture_registrar,
                    FL,
                    TEXTURE_REGISTRAR,
                    GObject)

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_TEXTURE_REGISTRAR_H_
