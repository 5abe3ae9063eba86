// "ERROR: " lines on standard output, shared by the capture and adapter code.
#pragma once

void PrintError(const char* text);
