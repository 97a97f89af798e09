// Console keys pressed by a test, as the terminal would send them.
#pragma once

// Ctrl+C: the console event reaches the program's console control handler.
void PressCtrlC();
