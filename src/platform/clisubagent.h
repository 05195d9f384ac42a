// CLI subagent of the platform.
#pragma once

// 0 on success.
int cliSubagentInit(const char* processName, int a);
