// The packer window as the user meets it: a modal dialog over a PackerWindow and its pages.
#pragma once
#include <windows.h>

struct PackerWindow;

// Runs the packer window modally. Returns the command that closed it (1001 or 1036 after a pack run
// that closes the window, 1040 or 2 otherwise), or -1 when the dialog could not be created.
INT_PTR OpenPackerWindow(PackerWindow* window, HWND owner);
