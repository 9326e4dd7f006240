#pragma once
// Message boxes of a GUI program: the general library's ShowMsg shows a modal
// box through this handler (kinds and button bits of ShowMsg; the result is
// the code of the pressed button, 6 = Yes).
int ShowModalMessageBox(const char* text, int kind, int buttons, void* context);

// Closes the innermost box ShowModalMessageBox shows now, if any; its call
// returns 2 (Cancel), whatever buttons the box has.
void CloseOpenMessageBox();
