// The utility's entry: service prompt, library start-up, banner and main menu.
#ifndef VARNO_CONSOLE_MENU_H_
#define VARNO_CONSOLE_MENU_H_

// Runs the whole dialogue; returns the process's exit code, always 0.
int run_utility();

// The RETURN pause: one character of standard input is read and discarded.
void wait_for_return();

#endif  // VARNO_CONSOLE_MENU_H_
