// The small JSON path dialect the device understands in settings updates:
//   $                      the whole configuration
//   .member  ['member']    a member of an object
//   .*  [*]                every member of an object or element of an array
//   [N]                    element N of an array; after a filter, the N-th match
//   [?(@.key==number)]     the elements of an array whose member key equals the number
//   [?(@.key=='text')]     ... equals the text (single or double quotes)
//   [?(@.key==true)]       ... equals the boolean (false likewise)
// The key of a filter may itself be dotted (@.a.b). Spaces around "==" are allowed.
#pragma once

#include <json/value.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace velquin_sim {

// A path that cannot be read; what() says where and why.
class path_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct path_step {
    enum kind_type { member, index, wildcard, filter };
    kind_type kind = member;
    std::string name;             // member name
    long long position = 0;       // index
    std::vector<std::string> key; // filter: @.key split at dots
    Json::Value literal;          // filter: the value compared with
};

// Reads a path; throws path_error when it is not of the dialect above.
std::vector<path_step> parse_selector_path(const std::string& path);

// Every node of `root` the path selects, in document order. Pointers stay valid
// until `root` is changed structurally.
std::vector<Json::Value*> select(Json::Value& root, const std::vector<path_step>& steps);

// Applies one settings entry: an object value is merged member by member into each
// selected object; any other value (or a target that is not an object) replaces the
// target. Returns the number of nodes changed (0: the path matched nothing, root
// unchanged). Throws path_error for a path that cannot be read.
std::size_t apply_setting(Json::Value& root, const std::string& path, const Json::Value& value);

} // namespace velquin_sim
