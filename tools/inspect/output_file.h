// A document written to a file that another program may read at any moment
// (an exporter's textfile collector): the file holds its last content or the
// new one whole, never a part and never nothing.
#ifndef VARNO_TOOLS_INSPECT_OUTPUT_FILE_H_
#define VARNO_TOOLS_INSPECT_OUTPUT_FILE_H_

#include <functional>
#include <string>
#include <string_view>

namespace inspect {

// Takes each piece of a document's text in order; false when it could not.
using TextSink = std::function<bool(std::string_view text)>;

// Writes the text that `produce` hands its sink (false: it could not make
// it all) to a new file beside `path` ("<path>.<process id>.tmp", which no
// collector takes for its own), syncs it to the disk and puts it in the
// place of `path` in one step (platform::replace_file). False with *error
// (the step and the system's reason) when a step failed or an interrupt
// (Ctrl+C, SIGTERM) came before the last one: the new file is removed again
// and `path` keeps its last content, unless only the sync of the folder
// after the rename failed, which *error then says.
bool write_replacing(const std::string& path, const std::function<bool(const TextSink&)>& produce,
                     std::string* error);

}  // namespace inspect

#endif  // VARNO_TOOLS_INSPECT_OUTPUT_FILE_H_
