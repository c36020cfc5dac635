// The launcher's part in its deployment: it registers itself as the handler of
// kovrel:// links for the current user, removes that registration again, and
// reports its version. None of it logs, touches the work folder or the network.
#pragma once

// The usage text's lines for the switches, in the column of its examples.
#define DEPLOY_USAGE \
    "        kovrel /register     opens kovrel:// links with this kovrel.exe (this user)\n" \
    "        kovrel /unregister   removes what /register wrote\n" \
    "        kovrel /version      prints the version\n"

// When arg is one of the switches (any case), carries it out, printing one
// line (/version: its three lines), stores the exit code (0 on success) in
// *exitCode and returns true; returns false for any other argument.
bool runDeploySwitch(const char *arg, int *exitCode);
