// The GTK 3 window behind the Carbon toolkit model (see ../Toolbox.h for the naming in the
// interface description). Linking the library `platform_carbon_gtk` is all a program does to
// get it: before main it installs its view when a display answers and TARSEL_HEADLESS is unset
// or empty; otherwise the window stays in memory.
//
// What the view adds to the conventions of ../Toolbox.h:
//   - every widget of the window is shown, whatever its "visible" property says, except the
//     controls the model hides; a user pane that is a notebook page is never hidden (its tab
//     would go with it): showing it selects its page;
//   - the menu bar (the GtkMenuBar named to SetMenuBarFromNib, or the only one in the file) is
//     packed into the GtkBox "menubar-slot" when the window holds one, else at the top of the
//     window's vertical GtkBox, else above the window's child; one already placed in the window
//     stays where it is;
//   - check marks are shown by GtkCheckMenuItems; a popup button is a GtkComboBoxText.
//
// TARSEL_SCREENSHOT=<file.png> writes a PNG of the whole window once it has been shown and
// drawn, TARSEL_SCREENSHOT_DELAY seconds later (default 1.5).
#pragma once
#include "platform/src/Carbon/Toolbox.h"

typedef struct _GObject GObject;

namespace tarsel::toolbox::gtk {

// True when the GTK view was installed at start.
bool viewInstalled();

// The object of the given id in the interface description loaded for the window, or null
// (no GTK view, or no such object). Tests act on widgets through it.
GObject* nibObject(const Window& window, const char* id);

} // namespace tarsel::toolbox::gtk
