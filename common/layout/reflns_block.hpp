// The deposition fragment: one `_reflns` block of mmCIF items (its keys
// first: pdbx_ordinal, entry_id, pdbx_diffrn_id) and, after it, loops such
// as `_reflns_shell`. Comment lines say where the items come from. The
// fragment has no data_ line: its items go into the data block of the
// entry's own file. Whoever composes it adds items by name (`set`): a
// second source of items (the statistics of the kept data, say) adds to the
// same block, replacing an item of the same name.
//
// Every value written is valid mmCIF: text quoted as CIF needs, a number
// that is not finite written as `?` (unknown), never "-0.000".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace common::reflns_block {

// The keys of the block, in the order written.
inline constexpr std::string_view kKeys[] = {"pdbx_ordinal", "entry_id", "pdbx_diffrn_id"};

// A text as one CIF value: bare when it can be, else in single or double
// quotes, else as a text field (;...;). Empty text is `?`.
std::string cifText(std::string_view text);

// A number with `decimals` decimals; `?` when it is not finite; a value
// that rounds to zero is written without its minus sign.
std::string cifNumber(double value, int decimals);

struct Item {
    std::string name;   // without "_reflns."
    std::string value;  // as written (already a CIF value)
};

struct Loop {
    std::string category;                        // "_reflns_shell"
    std::vector<std::string> names;              // without the category
    std::vector<std::vector<std::string>> rows;  // CIF values
};

class Block {
public:
    // A line of `# ...` above the items.
    void comment(std::string_view line);
    // Sets an item (its value already a CIF value), replacing one of the same name.
    void set(std::string_view name, std::string value);
    void setText(std::string_view name, std::string_view text) { set(name, cifText(text)); }
    void setNumber(std::string_view name, double value, int decimals) { set(name, cifNumber(value, decimals)); }
    // The value of an item, none when it is not set.
    const std::string* find(std::string_view name) const;
    void addLoop(Loop loop);
    // Puts a loop in place of one of the same category, or adds it.
    void setLoop(Loop loop);

    const std::vector<Item>& items() const { return items_; }
    bool empty() const { return items_.empty() && loops_.empty(); }
    // The fragment: the comments, the keys, the other items in the order
    // set, then the loops.
    std::string text() const;

private:
    std::vector<std::string> comments_;
    std::vector<Item> items_;
    std::vector<Loop> loops_;
};

}  // namespace common::reflns_block
