#include "reports.h"

#include "link.h"

#include <mutex>

// Written on the parser thread (or the test's own), read by the test: under g_recordLock.
static std::mutex g_recordLock;
static std::vector<std::string> g_record;

static void Record(const std::string &line)
{
    std::lock_guard<std::mutex> hold(g_recordLock);
    g_record.push_back(line);
}

void OnVersionReport(const char *text) { Record(std::string("version:") + text); }
void OnChannelReport(BYTE index) { Record("channel:" + std::to_string(index)); }
void OnConfigResult(BYTE result) { Record("result:" + std::to_string(result)); }
void OnOpenDone() {}

std::vector<std::string> Reports()
{
    std::lock_guard<std::mutex> hold(g_recordLock);
    return g_record;
}

void ClearReports()
{
    std::lock_guard<std::mutex> hold(g_recordLock);
    g_record.clear();
}
