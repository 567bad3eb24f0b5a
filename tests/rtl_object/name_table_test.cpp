#include "name_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

// "14:name" hashes to 14, so a case can place names in the slots it means to; any
// other name hashes as usual.
struct SlotHash {
  std::size_t operator()(std::string_view name) const {
    const std::size_t colon = name.find(':');
    if (colon == std::string_view::npos) return std::hash<std::string_view>{}(name);
    return std::strtoul(std::string(name.substr(0, colon)).c_str(), nullptr, 10);
  }
};

using Table = rtl::NameTable<int, SlotHash>;

struct Op {
  char what;  // '+': insert, '-': erase the name, '*': erase every entry of the owner
  std::string name;
  Table::Owner owner;
};

// "+name" inserts, "+name@2" for owner 2, "-name" erases, "*@2" erases owner 2's
// entries; steps are parted by '|', as names may hold blanks.
std::vector<Op> Steps(std::string_view script) {
  std::vector<Op> ops;
  for (const std::string& step : testsupport::Split(script, '|')) {
    const std::size_t owner = step.find('@');
    ops.push_back({step[0], step.substr(1, owner == std::string::npos ? owner : owner - 1),
                   owner == std::string::npos ? 0u : std::stoul(step.substr(owner + 1))});
  }
  return ops;
}

// The table against a map of what it should hold, after every step: every name it
// holds is found with its value, every other name used is not.
class Checked {
 public:
  void Apply(const Op& op, int value) {
    if (op.what == '+') {
      ASSERT_TRUE(table_.Insert(Keep(op.name), value, op.owner)) << op.name;
      expected_[op.name] = {value, op.owner};
    } else if (op.what == '-') {
      const std::size_t slot = table_.Find(op.name);
      ASSERT_NE(slot, Table::npos) << op.name << " should be there to erase";
      table_.EraseAt(slot);
      expected_.erase(op.name);
    } else {
      table_.EraseOwner(op.owner);
      std::erase_if(expected_, [&](const auto& entry) { return entry.second.second == op.owner; });
    }
    Verify(op.what == '+'   ? "inserting " + op.name
           : op.what == '-' ? "erasing " + op.name
                            : "erasing the entries of owner " + std::to_string(op.owner));
  }

  bool Holds(const std::string& name) const { return expected_.count(name) != 0; }

 private:
  // Values are never 0, which stands for a name not in the table.
  void Verify(const std::string& after) const {
    ASSERT_EQ(table_.Size(), expected_.size()) << "after " << after;
    for (const std::string& name : names_) {
      const std::size_t slot = table_.Find(name);
      const auto it = expected_.find(name);
      EXPECT_EQ(slot == Table::npos ? 0 : table_.At(slot),
                it == expected_.end() ? 0 : it->second.first)
          << name << " after " << after << " (0: not in the table)";
    }
  }

  // The table keeps pointers to the name bytes: a set's nodes never move.
  std::string_view Keep(const std::string& name) { return *names_.insert(name).first; }

  Table table_;
  std::set<std::string> names_;
  std::map<std::string, std::pair<int, Table::Owner>> expected_;
};

TEST(NameTable, KeepsEveryNameReachableThroughInsertsAndErasures) {
  const struct {
    const char* what;
    std::string_view script;
  } cases[] = {
      {"a run that wraps past the end of the table, then loses its first entries",
       "+14:a|+14:b|+15:c|+14:d|+0:e|+1:f|-14:a|-15:c|+14:a|-14:b"},
      {"an entry erased and inserted again takes its new value", "+3:x|+3:y|-3:x|+3:x|-3:y"},
      {"exact names: case and blanks count, even with hash and length equal",
       "+7:TButton|+7:tbutton|+7:TButto |+7: Button|+7:|+TButton|-7:TButton|-7:"},
      {"an owner's entries go together, wherever they sit in a run",
       "+5:a@1|+5:b@2|+5:c@1|+6:d@2|+5:e@1|*@3|*@1|+5:a@3|*@2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Checked checked;
    int value = 0;
    for (const Op& op : Steps(c.script)) checked.Apply(op, ++value);
  }
}

// Many names on few homes, each near the end of the table whatever its size, the
// table growing and shrinking: erasures move entries back over runs that wrap, in more
// turns than a fixed case can cover.
TEST(NameTable, AgreesWithAMapOverManyCollidingNames) {
  std::mt19937 random(7);
  std::vector<std::string> pool;
  for (int i = 0; i < 300; ++i) {
    const std::size_t home = (std::size_t{16} << random() % 6) - 1 - random() % 3;
    pool.push_back(std::to_string(home) + ":n" + std::to_string(i));
  }
  Checked checked;
  for (int step = 0; step < 3000 && !testing::Test::HasFailure(); ++step) {
    const std::string& name = pool[random() % pool.size()];
    const auto owner = static_cast<Table::Owner>(random() % 3);
    const char what = random() % 50 == 0 ? '*' : checked.Holds(name) ? '-' : '+';
    checked.Apply({what, name, owner}, step + 1);
  }
}

}  // namespace
