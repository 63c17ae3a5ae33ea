/* SPDX-License-Identifier: Apache-2.0 */
// RunAsUser: the -U identity switch of the daemon. Called once, on the main
// thread, after the service has opened its objects and before any handler or
// signal handler exists, so the fds stay usable under the new identity.
#ifndef SERVICE_RUNASUSER_H
#define SERVICE_RUNASUSER_H

// Switches the process to the user (and groups) named by spec:
//   - first character a decimal digit: "uid[:gid[,gid...]]", numbers read
//     with strtol base 0 (so 0x3e8 and 0750 work); without ":" no group is
//     changed and anything after the uid is ignored; with ":" the primary
//     group is set and the supplementary groups become exactly the listed
//     ids (none if no ","), at most sysconf(_SC_NGROUPS_MAX) of them;
//   - anything else: a user name from the password database, whose group
//     and supplementary groups (initgroups) are taken.
// Groups change before the user, while the right to change them remains.
// Returns 0 on success, -1 on failure with errno from the failing call
// (EINVAL for an unknown user name); nothing is undone on failure.
int RunAsUser(const char *spec);

#endif
