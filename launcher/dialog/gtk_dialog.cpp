// The error dialog through GTK 3, found with dlopen. GTK's own types stay
// opaque here: only its stable C entry points and enumeration values are
// used, so building needs no GTK headers and the program runs unchanged
// where there is no GTK.
#include "gtk_dialog.h"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

namespace {

using Widget = void;

// Values of GTK 3's enumerations that the dialog uses.
constexpr int dialog_modal = 1;           // GTK_DIALOG_MODAL
constexpr int message_error = 3;          // GTK_MESSAGE_ERROR
constexpr int buttons_ok = 1;             // GTK_BUTTONS_OK
constexpr int response_ok = -5;           // GTK_RESPONSE_OK
constexpr int policy_automatic = 1;       // GTK_POLICY_AUTOMATIC
constexpr int window_position_center = 1; // GTK_WIN_POS_CENTER
constexpr int icon_size_dialog = 6;       // GTK_ICON_SIZE_DIALOG

// Largest size of the scrolled text before it scrolls, in pixels.
constexpr int text_max_width = 760;
constexpr int text_max_height = 420;

struct Gtk {
  void (*disable_setlocale)();
  int (*init_check)(int *, char ***);
  Widget *(*message_dialog_new)(Widget *, int, int, int, const char *, ...);
  Widget *(*message_dialog_get_message_area)(Widget *);
  void (*window_set_title)(Widget *, const char *);
  void (*window_set_position)(Widget *, int);
  void (*window_set_keep_above)(Widget *, int);
  void (*window_set_icon_name)(Widget *, const char *);
  void (*message_dialog_set_image)(Widget *, Widget *);
  Widget *(*image_new_from_icon_name)(const char *, int);
  Widget *(*scrolled_window_new)(Widget *, Widget *);
  void (*scrolled_window_set_policy)(Widget *, int, int);
  void (*scrolled_window_set_propagate_natural_width)(Widget *, int);
  void (*scrolled_window_set_propagate_natural_height)(Widget *, int);
  void (*scrolled_window_set_max_content_width)(Widget *, int);
  void (*scrolled_window_set_max_content_height)(Widget *, int);
  Widget *(*label_new)(const char *);
  void (*label_set_selectable)(Widget *, int);
  void (*label_set_xalign)(Widget *, float);
  void (*label_set_yalign)(Widget *, float);
  void (*container_add)(Widget *, Widget *);
  void (*box_pack_start)(Widget *, Widget *, int, int, unsigned);
  void (*dialog_set_default_response)(Widget *, int);
  Widget *(*dialog_get_widget_for_response)(Widget *, int);
  int (*dialog_run)(Widget *);
  void (*widget_grab_focus)(Widget *);
  void (*widget_show_all)(Widget *);
  void (*widget_destroy)(Widget *);
  int (*events_pending)();
  int (*main_iteration)();
};

template <typename Function> bool find(void *library, const char *name, Function &function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  return function != nullptr;
}

// GTK 3's entry points; false when the library or any of them is missing.
// The library stays loaded: GTK cannot be unloaded safely once initialised.
bool load_gtk(Gtk &gtk) {
  void *library = dlopen("libgtk-3.so.0", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr)
    return false;
  return find(library, "gtk_disable_setlocale", gtk.disable_setlocale) &&
         find(library, "gtk_init_check", gtk.init_check) &&
         find(library, "gtk_message_dialog_new", gtk.message_dialog_new) &&
         find(library, "gtk_message_dialog_get_message_area",
              gtk.message_dialog_get_message_area) &&
         find(library, "gtk_window_set_title", gtk.window_set_title) &&
         find(library, "gtk_window_set_position", gtk.window_set_position) &&
         find(library, "gtk_window_set_keep_above", gtk.window_set_keep_above) &&
         find(library, "gtk_window_set_icon_name", gtk.window_set_icon_name) &&
         find(library, "gtk_message_dialog_set_image", gtk.message_dialog_set_image) &&
         find(library, "gtk_image_new_from_icon_name", gtk.image_new_from_icon_name) &&
         find(library, "gtk_scrolled_window_new", gtk.scrolled_window_new) &&
         find(library, "gtk_scrolled_window_set_policy", gtk.scrolled_window_set_policy) &&
         find(library, "gtk_scrolled_window_set_propagate_natural_width",
              gtk.scrolled_window_set_propagate_natural_width) &&
         find(library, "gtk_scrolled_window_set_propagate_natural_height",
              gtk.scrolled_window_set_propagate_natural_height) &&
         find(library, "gtk_scrolled_window_set_max_content_width",
              gtk.scrolled_window_set_max_content_width) &&
         find(library, "gtk_scrolled_window_set_max_content_height",
              gtk.scrolled_window_set_max_content_height) &&
         find(library, "gtk_label_new", gtk.label_new) &&
         find(library, "gtk_label_set_selectable", gtk.label_set_selectable) &&
         find(library, "gtk_label_set_xalign", gtk.label_set_xalign) &&
         find(library, "gtk_label_set_yalign", gtk.label_set_yalign) &&
         find(library, "gtk_container_add", gtk.container_add) &&
         find(library, "gtk_box_pack_start", gtk.box_pack_start) &&
         find(library, "gtk_dialog_set_default_response", gtk.dialog_set_default_response) &&
         find(library, "gtk_dialog_get_widget_for_response", gtk.dialog_get_widget_for_response) &&
         find(library, "gtk_dialog_run", gtk.dialog_run) &&
         find(library, "gtk_widget_grab_focus", gtk.widget_grab_focus) &&
         find(library, "gtk_widget_show_all", gtk.widget_show_all) &&
         find(library, "gtk_widget_destroy", gtk.widget_destroy) &&
         find(library, "gtk_events_pending", gtk.events_pending) &&
         find(library, "gtk_main_iteration", gtk.main_iteration);
}

// The caption as the heading and the text, literally and scrollable,
// below it; the window is titled with the caption too.
void run_dialog(const Gtk &gtk, const char *caption, const char *text) {
  // The locale stays the one the program chose: UTF-8 text, and the button
  // labels untranslated, as the launcher has always shown them.
  gtk.disable_setlocale();
  // A display that takes the connection and never answers would hold the
  // program (and the launcher waiting for it) forever.
  signal(SIGALRM, SIG_DFL);
  alarm(connect_timeout_seconds);
  if (gtk.init_check(nullptr, nullptr) == 0)
    return;
  alarm(0);
  Widget *dialog =
      gtk.message_dialog_new(nullptr, dialog_modal, message_error, buttons_ok, "%s", caption);
  gtk.window_set_title(dialog, caption);
  gtk.window_set_position(dialog, window_position_center);
  gtk.window_set_keep_above(dialog, 1);
  gtk.window_set_icon_name(dialog, "dialog-error");
  gtk.message_dialog_set_image(dialog,
                               gtk.image_new_from_icon_name("dialog-error", icon_size_dialog));

  Widget *scrolled = gtk.scrolled_window_new(nullptr, nullptr);
  gtk.scrolled_window_set_policy(scrolled, policy_automatic, policy_automatic);
  gtk.scrolled_window_set_propagate_natural_width(scrolled, 1);
  gtk.scrolled_window_set_propagate_natural_height(scrolled, 1);
  gtk.scrolled_window_set_max_content_width(scrolled, text_max_width);
  gtk.scrolled_window_set_max_content_height(scrolled, text_max_height);
  Widget *label = gtk.label_new(text); // plain text: no markup is parsed
  gtk.label_set_selectable(label, 1);
  gtk.label_set_xalign(label, 0.0f);
  gtk.label_set_yalign(label, 0.0f);
  gtk.container_add(scrolled, label);
  gtk.box_pack_start(gtk.message_dialog_get_message_area(dialog), scrolled, 1, 1, 0);

  // Return closes the dialog: the OK button, not the selectable text, has
  // the focus.
  gtk.dialog_set_default_response(dialog, response_ok);
  gtk.widget_show_all(dialog);
  Widget *ok = gtk.dialog_get_widget_for_response(dialog, response_ok);
  if (ok != nullptr)
    gtk.widget_grab_focus(ok);
  gtk.dialog_run(dialog);
  gtk.widget_destroy(dialog);
  // Let the window go from the screen before the launcher goes on.
  while (gtk.events_pending() != 0)
    gtk.main_iteration();
}

} // namespace

void show_gtk_dialog(const char *caption, const char *text) {
  Gtk gtk;
  if (load_gtk(gtk))
    run_dialog(gtk, caption, text);
}
