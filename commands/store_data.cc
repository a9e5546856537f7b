// StoreData: raw data posted for the back-end is stored whole, as posted,
// and the response body is the stored size as decimal text.
#include <optional>
#include <string>

#include "commands/portal_commands.h"
#include "commands/posted_body.h"
#include "spool/install_root.h"
#include "spool/posted_data.h"

namespace commands {

void StoreData(gateway::WebExtension& extension, gateway::RequestContext& context, const char* body,
               std::uint32_t count) {
  long stored_size = 0;
  {
    // Trailing blanks and line ends are data here: a text file posted with
    // its final line end is stored with it.
    const std::optional<std::string> data = PostedBodyCopy(body, count);
    // A body that cannot be copied is refused without writing: "0".
    // The install root is resolved once, for the data files and the counter.
    if (data) {
      stored_size =
          spool::StorePostedData(spool::ResolveRequestRoot(), *data, static_cast<long>(count));
    }
  }
  extension.WriteText(context, std::to_string(stored_size));
}

}  // namespace commands
