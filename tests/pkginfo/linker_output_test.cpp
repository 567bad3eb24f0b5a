// What the dynamic linker says in trace mode (its own lines, cut to what matters), read
// into a verdict: where each library was found or searched, what was not bound or refused.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "linker_output.h"

namespace {

// A line starting with '|' is one of the linker's debugging lines, which it numbers.
std::string Output(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line.starts_with('|') ? "     17256:\t" + line.substr(1) : line;
    text += '\n';
  }
  return text;
}

// A line a finding: "name < needer: path (how) ! problem [places]", "symbol ...", "error ...".
std::string Summary(const pkginfo::LinkerVerdict& verdict) {
  std::string out;
  for (const rtl::TResolution& r : verdict.libraries) {
    out += r.name + " < " + r.neededBy + ": " + r.path + " (" + r.how + ")";
    if (!r.problem.empty()) out += " ! " + r.problem;
    for (std::size_t i = 0; i < r.looked.size(); ++i) out += (i == 0 ? " [" : "|") + r.looked[i];
    out += r.looked.empty() ? "\n" : "]\n";
  }
  for (const pkginfo::UnresolvedSymbol& s : verdict.symbols) {
    out += "symbol " + s.symbol + (s.version.empty() ? "" : "@" + s.version) + " < " + s.neededBy +
           "\n";
  }
  for (const std::string& error : verdict.errors) out += "error " + error + "\n";
  return out;
}

TEST(LinkerOutput, ReadsWhereEachLibraryWasFoundAndWhatWasRefused) {
  const struct {
    const char* what;
    std::vector<std::string> lines;
    std::string verdict;
  } cases[] = {
      {"found along a RUNPATH after a miss in LD_LIBRARY_PATH; the next lookup names no place",
       {"|file=libp.so [0];  needed by /p/a.so [0]", "|find library=libp.so [0]; searching",
        "| search path=/l:/m\t\t(LD_LIBRARY_PATH)", "|  trying file=/l/libp.so",
        "| search path=/p/lib\t\t(RUNPATH from file /p/a.so)", "|  trying file=/p/lib/libp.so", "|",
        "|file=libp.so [0];  generating link map", "|file=libn.so [0];  needed by /p/a.so [0]",
        "|find library=libn.so [0]; searching", "|  trying file=/n/libn.so",
        "|file=libn.so [0];  generating link map",
        "\tlibp.so => /p/lib/libp.so (0x00007f0000000000)"},
       "libp.so < /p/a.so: /p/lib/libp.so (RUNPATH of /p/a.so)\nlibn.so < /p/a.so: /n/libn.so "
       "()\n"},
      {"found in the cache; named by its path; a place named as it is",
       {"|file=libc.so.6 [0];  needed by /p/a.so [0]", "|find library=libc.so.6 [0]; searching",
        "| search cache=/etc/ld.so.cache", "|  trying file=/lib/libc.so.6",
        "|file=libc.so.6 [0];  generating link map", "|file=/q/libq.so [0];  needed by /p/a.so [0]",
        "|file=/q/libq.so [0];  generating link map", "|file=libr.so [0];  needed by /p/a.so [0]",
        "|find library=libr.so [0]; searching", "| search path=/r\t\t(RPATH from file /p/a.so)",
        "| search path=/s\t\t(something new)", "|  trying file=/s/libr.so",
        "|file=libr.so [0];  generating link map"},
       "libc.so.6 < /p/a.so: /lib/libc.so.6 (ld.so.cache)\n"
       "/q/libq.so < /p/a.so: /q/libq.so (named by its path)\n"
       "libr.so < /p/a.so: /s/libr.so (something new)\n"},
      {"not found anywhere: each place once, in the order searched",
       {"|file=libx.so [0];  needed by /p/a.so [0]", "|find library=libx.so [0]; searching",
        "| search path=/l/tls:/l\t\t(LD_LIBRARY_PATH)", "|  trying file=/l/tls/libx.so",
        "| search path=/l\t\t(LD_LIBRARY_PATH)", "| search cache=/etc/ld.so.cache",
        "| search path=/lib\t\t(system search path)", "|  trying file=/lib/libx.so", "",
        "\tlibx.so => not found"},
       "libx.so < /p/a.so:  () ! needed library libx.so not found (needed by /p/a.so) "
       "[LD_LIBRARY_PATH|ld.so.cache|system directories]\n"},
      {"found to be a file already loaded, or listed as not found with no lookup",
       {"|file=liby.so [0];  needed by /p/a.so [0]", "|find library=liby.so [0]; searching",
        "| search cache=/etc/ld.so.cache", "|  trying file=/lib/liby.so",
        "\tliby.so => /lib/liby.so (0x1)", "\tlibz.so => not found"},
       "liby.so < /p/a.so: /lib/liby.so (ld.so.cache, already loaded)\n"
       "libz.so < :  () ! needed library libz.so not found\n"},
      {"the linker stopped at a library it names by name or by the file it tried",
       {"|file=libw.so [0];  needed by /p/a.so [0]", "|find library=libw.so [0]; searching",
        "| search path=/w\t\t(LD_LIBRARY_PATH)", "|  trying file=/w/libw.so",
        "ld.so: error while loading shared libraries: /w/libw.so: file too short"},
       "libw.so < /p/a.so: /w/libw.so () ! /w/libw.so: file too short [LD_LIBRARY_PATH]\n"},
      {"what it could not bind, with a version and without",
       {"undefined symbol: feature, version VER_2\t(/p/a.so)", "undefined symbol: plain\t(/p/b.so)",
        "undefined symbol: bare"},
       "symbol feature@VER_2 < /p/a.so\nsymbol plain < /p/b.so\nsymbol bare < \n"},
      {"an object it would not preload, a warning, its other words, and anything else",
       {"|file=/x/libq.so [0];  needed by /bin/true [0]",
        "ERROR: ld.so: object '/x/libq.so' from LD_PRELOAD cannot be preloaded (wrong ELF "
        "class: ELFCLASS32): ignored.",
        "ERROR: ld.so: object '/x/libv.so' from LD_PRELOAD cannot be preloaded (no such file): "
        "ignored.",
        "ERROR: ld.so: object 'garbled", "ld.so: /p/a.so: no version information available",
        "ld.so: /p/a.so: weak version `V' not found", "ld.so: /p/a.so: version `VER_2' not found",
        "Segmentation fault"},
       "/x/libq.so < /bin/true: /x/libq.so () ! /x/libq.so: wrong ELF class: ELFCLASS32\n"
       "error ERROR: ld.so: object 'garbled\n"
       "error /p/a.so: version `VER_2' not found\n"
       "error Segmentation fault\n"
       "error /x/libv.so: no such file\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Summary(pkginfo::ParseLinkerOutput(Output(c.lines), "ld.so")), c.verdict) << c.what;
  }
}

}  // namespace
