/* mldialog-gtk: the message box of the dialog manager on the desktop (GTK 4).
 *
 * The dialog component runs this program when the session has a display;
 * it is a program of its own so that no host process ever loads GTK. The
 * box's text comes on standard input (UTF-8), the caption and the Windows
 * message-box type on the command line; the identifier of the button
 * pressed goes to standard output. See the usage text below.
 */
#include <errno.h>
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef MLDIALOG_VERSION
#define MLDIALOG_VERSION "0"
#endif

enum { kExitOk = 0, kExitUsage = 2, kExitNoDisplay = 3 };

static const char kUsage[] =
    "Usage: mldialog-gtk --caption TEXT [--type N] [--timeout SECONDS]\n"
    "\n"
    "Shows a message box on the desktop (GTK 4) and prints the identifier of\n"
    "the button pressed. The text of the box is read from standard input\n"
    "(UTF-8). The dialog component of the smart-card module runs this program\n"
    "when the session has a display (WAYLAND_DISPLAY or DISPLAY).\n"
    "\n"
    "  --caption TEXT     the window title\n"
    "  --type N           a Windows message-box type value (decimal): the\n"
    "                     button set in its low four bits (0 OK, 1 OK/Cancel,\n"
    "                     2 Abort/Retry/Ignore, 3 Yes/No/Cancel, 4 Yes/No,\n"
    "                     5 Retry/Cancel, 6 Cancel/Try Again/Continue), the\n"
    "                     icon (0x10 error, 0x20 question, 0x30 warning, 0x40\n"
    "                     information) and the default button (0x100, 0x200,\n"
    "                     0x300 for the second, third, fourth); default 0\n"
    "  --timeout SECONDS  close the box after SECONDS without an answer\n"
    "  --help             this text\n"
    "  --version          the version\n"
    "\n"
    "Keys: Enter presses the default button (OK or Retry unless the type\n"
    "names another), Esc presses Cancel (OK on a box with OK alone), Alt and\n"
    "the underlined letter press a button.\n"
    "\n"
    "A box closed without an answer (window closed, time-out) answers with\n"
    "its most cautious button: OK for OK, Cancel where the set has Cancel,\n"
    "Abort for Abort/Retry/Ignore, No for Yes/No.\n"
    "\n"
    "Output: the Windows button identifier in decimal (1 OK, 2 Cancel,\n"
    "3 Abort, 4 Retry, 5 Ignore, 6 Yes, 7 No, 10 Try Again, 11 Continue).\n"
    "\n"
    "Exit status: 0 answered; 2 wrong arguments; 3 no display to show the\n"
    "box on.\n";

typedef struct {
    int id;
    const char* label; /* with its mnemonic */
} Button;

typedef struct {
    Button buttons[3];
    int count;
    int escape;   /* index answered by Esc, -1 for none */
    int noAnswer; /* index when the box gets no answer */
} ButtonSet;

static const ButtonSet kButtonSets[] = {
    {{{1, "_OK"}}, 1, 0, 0},
    {{{1, "_OK"}, {2, "_Cancel"}}, 2, 1, 1},
    {{{3, "_Abort"}, {4, "_Retry"}, {5, "_Ignore"}}, 3, -1, 0},
    {{{6, "_Yes"}, {7, "_No"}, {2, "_Cancel"}}, 3, 2, 2},
    {{{6, "_Yes"}, {7, "_No"}}, 2, -1, 1},
    {{{4, "_Retry"}, {2, "_Cancel"}}, 2, 1, 1},
    {{{2, "_Cancel"}, {10, "_Try Again"}, {11, "Co_ntinue"}}, 3, 0, 0},
};

typedef struct {
    const ButtonSet* set;
    int defaultIndex;
    int answer; /* index, -1 while open */
    GtkWidget* window;
} Box;

static void Answer(Box* box, int index) {
    if (box->answer >= 0 || index < 0)
        return;
    box->answer = index;
    gtk_window_destroy(GTK_WINDOW(box->window));
}

static void OnClicked(GtkButton* button, gpointer data) {
    Box* box = data;
    Answer(box, GPOINTER_TO_INT(g_object_get_data(G_OBJECT(button), "index")));
}

static gboolean OnKey(GtkEventControllerKey* controller, guint keyval, guint keycode,
                      GdkModifierType state, gpointer data) {
    (void)controller;
    (void)keycode;
    (void)state;
    Box* box = data;
    if (keyval == GDK_KEY_Return || keyval == GDK_KEY_KP_Enter) {
        Answer(box, box->defaultIndex);
        return TRUE;
    }
    if (keyval == GDK_KEY_Escape) {
        Answer(box, box->set->escape);
        return TRUE;
    }
    return FALSE;
}

static gboolean OnCloseRequest(GtkWindow* window, gpointer data) {
    (void)window;
    Box* box = data;
    Answer(box, box->set->noAnswer);
    return TRUE;
}

static gboolean OnTimeout(gpointer data) {
    Box* box = data;
    Answer(box, box->set->noAnswer);
    return G_SOURCE_REMOVE;
}

static const char* IconName(unsigned type) {
    switch (type & 0xF0u) {
        case 0x10u:
            return "dialog-error";
        case 0x20u:
            return "dialog-question";
        case 0x30u:
            return "dialog-warning";
        case 0x40u:
            return "dialog-information";
        default:
            return NULL;
    }
}

/* A decimal number from 0 to `max`; false for anything else. */
static gboolean ParseNumber(const char* text, unsigned long max, unsigned long* value) {
    if (text == NULL || *text == '\0' || strspn(text, "0123456789") != strlen(text) ||
        strlen(text) > 10)
        return FALSE;
    errno = 0;
    unsigned long v = strtoul(text, NULL, 10);
    if (errno != 0 || v > max)
        return FALSE;
    *value = v;
    return TRUE;
}

static int UsageError(const char* message) {
    fprintf(stderr, "mldialog-gtk: %s\nTry 'mldialog-gtk --help'.\n", message);
    return kExitUsage;
}

/* Standard input as UTF-8 text, at most 64 KiB; invalid bytes replaced. */
static char* ReadText(void) {
    GString* text = g_string_new(NULL);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stdin)) > 0 && text->len < 65536)
        g_string_append_len(text, buf, (gssize)n);
    if (text->len > 65536)
        g_string_truncate(text, 65536);
    char* valid = g_utf8_make_valid(text->str, (gssize)text->len);
    g_string_free(text, TRUE);
    return valid;
}

int main(int argc, char** argv) {
    const char* caption = NULL;
    unsigned long type = 0, timeout = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0) {
            fputs(kUsage, stdout);
            return kExitOk;
        }
        if (strcmp(arg, "--version") == 0) {
            puts("mldialog-gtk " MLDIALOG_VERSION);
            return kExitOk;
        }
        if (i + 1 >= argc)
            return UsageError("an option needs a value, or an unknown argument was given");
        const char* value = argv[++i];
        if (strcmp(arg, "--caption") == 0) {
            caption = value;
        } else if (strcmp(arg, "--type") == 0) {
            if (!ParseNumber(value, 0xFFFFFFFFul, &type))
                return UsageError("--type needs a decimal number");
        } else if (strcmp(arg, "--timeout") == 0) {
            if (!ParseNumber(value, 1000000ul, &timeout))
                return UsageError("--timeout needs a number of seconds from 0 to 1000000");
        } else {
            return UsageError("unknown option");
        }
    }
    if (caption == NULL)
        return UsageError("--caption is missing");
    if ((type & 0xFu) >= G_N_ELEMENTS(kButtonSets))
        return UsageError("--type names a button set that does not exist");

    char* text = ReadText();
    if (!gtk_init_check()) {
        fprintf(stderr, "mldialog-gtk: no display to show the box on\n");
        g_free(text);
        return kExitNoDisplay;
    }

    Box box = {&kButtonSets[type & 0xFu], (int)((type & 0xF00u) >> 8), -1, NULL};
    if (box.defaultIndex >= box.set->count)
        box.defaultIndex = 0;

    box.window = gtk_window_new();
    gchar* title = g_utf8_make_valid(caption, -1);
    gtk_window_set_title(GTK_WINDOW(box.window), title);
    g_free(title);
    gtk_window_set_resizable(GTK_WINDOW(box.window), FALSE);
    g_signal_connect(box.window, "close-request", G_CALLBACK(OnCloseRequest), &box);
    GtkEventController* keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    g_signal_connect(keys, "key-pressed", G_CALLBACK(OnKey), &box);
    gtk_widget_add_controller(box.window, keys);

    GtkWidget* outer = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    gtk_widget_set_margin_top(outer, 18);
    gtk_widget_set_margin_bottom(outer, 12);
    gtk_widget_set_margin_start(outer, 18);
    gtk_widget_set_margin_end(outer, 18);
    GtkWidget* body = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    if (IconName((unsigned)type) != NULL) {
        GtkWidget* icon = gtk_image_new_from_icon_name(IconName((unsigned)type));
        gtk_image_set_icon_size(GTK_IMAGE(icon), GTK_ICON_SIZE_LARGE);
        gtk_widget_set_valign(icon, GTK_ALIGN_START);
        gtk_box_append(GTK_BOX(body), icon);
    }
    GtkWidget* label = gtk_label_new(text);
    g_free(text);
    gtk_label_set_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_width_chars(GTK_LABEL(label), 30);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 60);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_box_append(GTK_BOX(body), label);
    gtk_box_append(GTK_BOX(outer), body);

    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    gtk_widget_set_halign(row, GTK_ALIGN_END);
    for (int i = 0; i < box.set->count; ++i) {
        GtkWidget* button = gtk_button_new_with_mnemonic(box.set->buttons[i].label);
        g_object_set_data(G_OBJECT(button), "index", GINT_TO_POINTER(i));
        g_signal_connect(button, "clicked", G_CALLBACK(OnClicked), &box);
        gtk_box_append(GTK_BOX(row), button);
        if (i == box.defaultIndex) {
            gtk_window_set_default_widget(GTK_WINDOW(box.window), button);
            gtk_widget_grab_focus(button);
        }
    }
    gtk_box_append(GTK_BOX(outer), row);
    gtk_window_set_child(GTK_WINDOW(box.window), outer);

    if (timeout > 0)
        g_timeout_add_seconds((guint)timeout, OnTimeout, &box);
    gtk_window_present(GTK_WINDOW(box.window));
    while (box.answer < 0)
        g_main_context_iteration(NULL, TRUE);

    printf("%d\n", box.set->buttons[box.answer].id);
    return fflush(stdout) == 0 ? kExitOk : 1;
}
