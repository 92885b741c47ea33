// A small interactive line editor: raw terminal mode, optional echo, editing
// keys and a history of the echoed lines.
#pragma once

#include <cstddef>

inline constexpr size_t kLineMax = 127;    // characters of one line

// Prints the prompt and reads one line into buf (at most kLineMax characters
// and a NUL, without the newline).  With echo 0 nothing typed is shown and the
// line is not kept in the history.  Keys: Backspace/DEL, Ctrl-A/E (start/end),
// Ctrl-B/F and the arrows (move), Ctrl-D (delete, or end of input on an empty
// line), Ctrl-K/U (delete to end/start), Up/Down (history), Ctrl-C (cancel).
// The echoed line scrolls within the terminal width (COLUMNS).  Without a
// terminal the line is read as it comes.  Returns the length, or -1 at the
// end of input or on Ctrl-C.
int GetLine(const char *prompt, char *buf, size_t size, int echo);
