// Finding, reporting and terminating running copies of the client that belong
// to the launcher's own Windows account.
#pragma once

// Looks for processes of the launcher's account whose command line holds
// searchText (ASCII case ignored); action 1 terminates each one.
// Returns 1 (found; all terminated with action 1), 0 (none), -1 (a match could
// not be opened for termination) or -2 (the search could not be made).
int SearchProcesses(const char *searchText, int action);
