// The folder that stands for the user's documents folder in the simulated
// products (ostrel_sim_set_documents_folder): the bench's side of the
// documents hook (platform/BenchHooks.h), the same on every system.
#include "platform/BenchHooks.h"
#include "platform/sim/BenchLayer.h"

#include <mutex>

namespace ostrel {
namespace {

struct Documents {
    std::mutex mutex;
    std::string replacement;
    bool asked = false;
};

// Never destroyed: the log may still be opened while the process exits.
Documents &DocumentsState()
{
    static Documents *documents = new Documents;
    return *documents;
}

} // namespace

bool hooks::DocumentsFolder(std::string &folder)
{
    Documents &documents = DocumentsState();
    std::lock_guard<std::mutex> lock(documents.mutex);
    documents.asked = true;
    if (documents.replacement.empty())
        return false;
    folder = documents.replacement;
    return true;
}

std::string sim::SetPlatformDocumentsFolder(const char *path)
{
    if (path == nullptr || path[0] == '\0')
        return "no folder given";
    Documents &documents = DocumentsState();
    std::lock_guard<std::mutex> lock(documents.mutex);
    // The log may already sit in the folder given before.
    if (documents.asked)
        return "the log is already open";
    documents.replacement = path;
    return std::string();
}

} // namespace ostrel
