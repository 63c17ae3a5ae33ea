/* SPDX-License-Identifier: Apache-2.0 */
/*
 * <sys/slogcodes.h> for Linux: major numbers for slogf codes. Applications
 * use majors between _SLOGC_PRIVATE_START and _SLOGC_PRIVATE_END.
 */
#ifndef PLATFORM_SYS_SLOGCODES_H
#define PLATFORM_SYS_SLOGCODES_H

#define _SLOGC_PRIVATE_START 10000
#define _SLOGC_PRIVATE_END 19999
#define _SLOGC_TEST (_SLOGC_PRIVATE_START + 0)

#endif /* PLATFORM_SYS_SLOGCODES_H */
