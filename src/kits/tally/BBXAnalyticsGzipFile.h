#pragma once
// Gzip-compresses everything readable from `sourceFd` into `targetFd`.
// 0 on success, -1 on any failure.
int BBXAnalyticsGzipFile(int sourceFd, int targetFd);
