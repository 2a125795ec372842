// Placeholder until the agent lands.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR, int) { return 0; }
