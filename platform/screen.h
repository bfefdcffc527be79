// What a run shows at the console: message lines on standard output and, while standard
// error is a console, one status line there, updated in place (the download's progress, a
// wait's countdown). Every message line goes through msg_printf, which wipes the status
// line first, so that no message lands on it, whichever layer prints it.
#pragma once

#define LARKSPUR_PRINTF_LIKE(fmt, args) __attribute__((format(printf, fmt, args)))

// printf on standard output, once the status line is wiped.
int msg_printf(const char* format, ...) LARKSPUR_PRINTF_LIKE(1, 2);

// True when standard error is a console: only then is a status line shown.
bool status_on();
// Replaces the status line with the formatted text (one line, no line end).
void status_show(const char* format, ...) LARKSPUR_PRINTF_LIKE(1, 2);
// Blanks the status line, if one shows, and leaves the cursor at its start.
void status_wipe();
