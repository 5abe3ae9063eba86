// The administrator test: the one piece of code that tamsil (isAdmin) and ousterling share.
#pragma once

// Answers 1 when the calling thread's token (or the process token when the thread has none) would be granted
// access 1 by a private security descriptor whose DACL allows only the built-in Administrators alias
// (S-1-5-32-544), that is when the token holds the Administrators SID as an enabled group; 0 otherwise.
// Prints "AccessCheck() failed with error %lu\n" on standard output when AccessCheck itself fails.
// Needs nothing but the platform (no JNI): ousterling links this file alone.
int AdministratorTest(void);
