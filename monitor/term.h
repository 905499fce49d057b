// What lptmon needs from the terminal and the operating system: its output,
// the screen it draws on, the keyboard and the ways it is asked to stop.
// Each platform has one file that implements it.
#ifndef LPTMON_TERM_H
#define LPTMON_TERM_H

#include <cstdio>
#include <string>

namespace term {

// The arguments in UTF-8, where the C runtime gives them in another code
// page (Windows), so that every name can be opened.
void utf8_arguments(int *argc, char ***argv);

// Before anything is opened: whether standard output was closed when we
// were started. Then puts something harmless where standard streams are
// missing, so that no file of ours takes their place.
bool output_missing();
void fill_standard_streams();

// Ctrl+C and its kind end the waits and ask for a stop.
void catch_signals();
bool stop_requested();
bool output_is_terminal();
bool input_is_terminal();
// Starts the key thread: reads the keyboard for `q` (with `keys`; any
// other key waits for next_key) and watches for the reader of our output
// going away.
void start_key_thread(bool keys);
// The next key pressed other than `q`, or 0.
char next_key();

// Whole, never cut by a stop. A reader that went away asks for a stop that
// ends as a write to a closed pipe does (end_status); any other failure
// fails, with its reason.
void write_out(const std::string &text);
// Something lptmon cannot go on without failed (a write of its trace, its
// log or its view): says so in one line on standard error, once, and asks
// for a stop that ends with status 1.
void fail(const std::string &message);
// Creates or empties a file to write, by its UTF-8 name; nullptr with
// errno set where it cannot.
FILE *create_file(const char *path);
// A message on standard error; its UTF-8 shown as the same characters on
// a console.
void write_error(const std::string &text);
// The screen for the live view, given back on every way out. False where
// the terminal cannot be drawn on: plain lines then.
bool take_screen();
void release_screen();
void size(int *rows, int *cols);
// Whether the terminal shows UTF-8 (else the ASCII glyphs).
bool utf8();
// Sleeps, ended early by a stop.
void nap(int ms);
// The exit status, or the end a closed output calls for.
int end_status(int status);

} // namespace term

#endif
