// Recording report operations for tests of the link alone: each call the parser makes is kept
// as a line such as "channel:3", "result:0" or "version:V1.0".
#ifndef TESTS_REPORTS_H
#define TESTS_REPORTS_H

#include <string>
#include <vector>

std::vector<std::string> Reports();
void ClearReports();

#endif
