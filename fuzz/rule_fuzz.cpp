// Fuzzes the mount table's parser and the rule over mountinfo text. The input
// draws a layout: mounts in a few namespaces, copied from the first as the
// kernel copies them (peers, slaves, shared slaves or private), with mounts
// added, stacked and dropped, roots of their own, devices and peer groups from
// small sets, names of any bytes, escaped as the kernel escapes them, lines in
// any order. Each table's text must parse back to its mounts; and the taken
// mounts, the mounts whose users count, and each mount placed alone must be
// what a plain reading of the same layout, written here, takes.
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "fuzz_support.h"

namespace {

struct Line {
  int id, parent;
  unsigned major, minor;
  std::string root, mount_point;
  int shared, master;
};
using Layout = std::vector<std::vector<Line>>;

// Reads the input a byte at a time; zeros once it is spent.
struct Draw {
  const uint8_t* data;
  size_t size;
  unsigned operator()(unsigned n) {
    if (size == 0 || n == 0) return 0;
    --size;
    return *data++ % n;
  }
};

// The longest mount point drawn, within what a kernel shows.
constexpr size_t kLongest = 4000;

std::string Name(Draw& draw) {
  static const char kBytes[] = "ab \t\n\\#\x01\xc3\xa9x";
  std::string name;
  for (unsigned length = 1 + draw(6); name.size() < length;) {
    name += kBytes[draw(sizeof(kBytes) - 1)];
  }
  // Mostly short; now and then as long as a path may be.
  if (draw(16) == 0) name += std::string(1000 + draw(200) * 10, 'l');
  return name;
}

std::string Join(const std::string& directory, const std::string& name) {
  return directory == "/" ? "/" + name : directory + "/" + name;
}

// The kernel's escapes in mountinfo: a blank, tab, newline or backslash as \ooo.
std::string Escaped(const std::string& path) {
  std::string text;
  for (const unsigned char c : path) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
      const char octal[] = {'\\', static_cast<char>('0' + (c >> 6)),
                            static_cast<char>('0' + ((c >> 3) & 7)),
                            static_cast<char>('0' + (c & 7)), 0};
      text += octal;
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

std::string TableText(const std::vector<Line>& table) {
  std::string text;
  for (const Line& l : table) {
    text += std::to_string(l.id) + " " + std::to_string(l.parent) + " " + std::to_string(l.major) +
            ":" + std::to_string(l.minor) + " " + Escaped(l.root) + " " + Escaped(l.mount_point) +
            " rw,relatime";
    if (l.shared) text += " shared:" + std::to_string(l.shared);
    if (l.master) text += " master:" + std::to_string(l.master);
    text += " - tmpfs t rw\n";
  }
  return text;
}

Layout DrawLayout(Draw& draw, int* next_id) {
  Layout layout(1);
  std::vector<Line>& first = layout[0];
  first.push_back({1, 0, 0, 1, "/", "/", 0, 0});
  for (int i = 0, count = 2 + static_cast<int>(draw(10)); i < count; ++i) {
    const Line& parent = first[draw(static_cast<unsigned>(first.size()))];
    // Stacked on the parent at its own mount point now and then.
    const std::string at =
        draw(8) == 0 && parent.id != 1 ? parent.mount_point : Join(parent.mount_point, Name(draw));
    if (at.size() > kLongest) continue;
    first.push_back({(*next_id)++, parent.id, 0, 10 + draw(4),
                     draw(4) == 0 ? Join("/", Name(draw)) : "/", at,
                     static_cast<int>(draw(2) * (1 + draw(4))), 0});
  }
  for (int n = 1, count = 1 + static_cast<int>(draw(3)); n < count + 1; ++n) {
    const std::vector<Line>& from = layout[draw(static_cast<unsigned>(n))];
    std::vector<Line> table;
    std::map<int, int> ids;
    const unsigned how = draw(4);  // as copied, slaves, shared slaves, private
    for (const Line& l : from) ids[l.id] = (*next_id)++;
    for (const Line& l : from) {
      Line copy = l;
      copy.id = ids[l.id];
      copy.parent = ids.count(l.parent) ? ids[l.parent] : 0;
      // A peer group has one master, whichever of its mounts tells it.
      if (how == 1 || how == 2) {
        copy.master = l.shared ? l.shared : l.master;
        copy.shared = how == 2 && copy.master ? 100 * n + copy.master : 0;
      } else if (how == 3) {
        copy.shared = copy.master = 0;
      }
      table.push_back(copy);
    }
    // Mounts added, or dropped with what is on them.
    for (int i = 0, ops = static_cast<int>(draw(5)); i < ops && !table.empty(); ++i) {
      const Line parent = table[draw(static_cast<unsigned>(table.size()))];
      if (draw(3) == 0 && parent.parent != 0) {
        std::set<int> gone = {parent.id};
        for (bool more = true; more;) {
          more = false;
          for (const Line& l : table) {
            if (!gone.count(l.id) && gone.count(l.parent)) more = gone.insert(l.id).second;
          }
        }
        std::erase_if(table, [&](const Line& l) { return gone.count(l.id) > 0; });
        continue;
      }
      const std::string at =
          draw(4) == 0 ? parent.mount_point : Join(parent.mount_point, Name(draw));
      const int shared = static_cast<int>(draw(3) == 0 ? 100 * n + 10 + draw(4) : 0);
      if (at.size() > kLongest) continue;
      table.push_back({(*next_id)++, parent.id, 0, 10 + draw(4),
                       draw(3) == 0 ? Join("/", Name(draw)) : "/", at, shared,
                       static_cast<int>(shared == 0 && draw(3) == 0 ? 1 + draw(4) : 0)});
    }
    layout.push_back(table);
  }
  for (std::vector<Line>& table : layout) {
    for (size_t i = table.size(); i > 1; --i) std::swap(table[i - 1], table[draw(i)]);
  }
  return layout;
}

// ---- The plain reading.

bool Under(const std::string& path, const std::string& directory) {
  return directory == "/" || (path.starts_with(directory) &&
                              (path.size() == directory.size() || path[directory.size()] == '/'));
}

const Line* Find(const std::vector<Line>& table, int id) {
  for (const Line& l : table) {
    if (l.id == id) return &l;
  }
  return nullptr;
}

struct Expected {
  int id, parent;
  unsigned major, minor, parent_major, parent_minor;
  int group;
  std::string place, root;
};

// The top mount at `mount_point` and those under it by their parents; for each,
// where it lies in its parent's file system, and the parent's peer group.
std::vector<Expected> ReferenceTaken(const std::vector<Line>& own, const std::string& mount_point) {
  std::vector<const Line*> at;
  for (const Line& l : own) {
    if (l.mount_point == mount_point) at.push_back(&l);
  }
  const Line* top = nullptr;
  for (const Line* l : at) {
    if (std::none_of(at.begin(), at.end(), [&](const Line* o) { return o->parent == l->id; })) {
      top = l;
    }
  }
  std::vector<const Line*> taken = {top};
  for (bool more = true; more;) {
    more = false;
    for (const Line& l : own) {
      const bool under = l.mount_point.size() > mount_point.size() &&
                         Under(l.mount_point, mount_point) && mount_point != "/";
      if (under && std::find(taken.begin(), taken.end(), &l) == taken.end() &&
          std::any_of(taken.begin(), taken.end(),
                      [&](const Line* t) { return t->id == l.parent; })) {
        taken.push_back(&l);
        more = true;
      }
    }
  }
  std::vector<Expected> result;
  for (const Line* t : taken) {
    const Line* parent = Find(own, t->parent);
    Expected r = {t->id, t->parent, t->major, t->minor, 0, 0, 0, "", t->root};
    if (parent != nullptr) {
      const std::string below = parent->mount_point == "/"
                                    ? t->mount_point
                                    : t->mount_point.substr(parent->mount_point.size());
      r.place = (parent->root == "/" ? "" : parent->root) + below;
      r.parent_major = parent->major;
      r.parent_minor = parent->minor;
      r.group = parent->shared;
    }
    result.push_back(r);
  }
  return result;
}

// Where `receiver` shows taken mount `t`'s place, if it may receive what t's
// parent propagates and its root holds the place.
bool Site(const Line& receiver, const Expected& t, std::string* site) {
  if (t.group == 0 || receiver.id == t.parent || receiver.major != t.parent_major ||
      receiver.minor != t.parent_minor || (receiver.shared != t.group && receiver.master == 0)) {
    return false;
  }
  const std::string root = receiver.root == "/" ? "" : receiver.root;
  if (!root.empty() && !Under(t.place, root)) return false;
  const std::string rest = t.place.substr(root.size());
  *site = (receiver.mount_point == "/" && !rest.empty() ? "" : receiver.mount_point) + rest;
  return true;
}

// Where a mount sits: the taken mounts at whose place, by their ids, with the
// group through which it receives from each and whether it is no copy of it;
// and whether a mount of its own passes it over.
struct Verdict {
  std::map<int, std::pair<int, bool>> places;
  bool counts = false;
};

Verdict ReferencePlace(const std::vector<Line>& table, const Line& x,
                       const std::vector<Expected>& taken) {
  Verdict v;
  const Line* receiver = Find(table, x.parent);
  for (size_t i = 0; receiver != nullptr && i < taken.size(); ++i) {
    std::string site;
    if (Site(*receiver, taken[i], &site) && site == x.mount_point) {
      v.places[taken[i].id] = {
          receiver->shared == taken[i].group ? 0 : receiver->master,
          x.major != taken[i].major || x.minor != taken[i].minor || x.root != taken[i].root};
    }
  }
  int children = 0;
  bool topper = false;
  for (const Line& c : table) {
    if (c.parent != x.id) continue;
    const bool copy = std::any_of(taken.begin(), taken.end(), [&](const Expected& t) {
      std::string site;
      return Site(x, t, &site) && site == c.mount_point;
    });
    if (copy) continue;
    topper = ++children == 1 && c.mount_point == x.mount_point;
  }
  v.counts = children == 0 || (children == 1 && topper);
  return v;
}

// Whether peer group `group` receives what `origin` propagates: up through
// the masters that the shared slaves of every table tell.
bool ReferenceReaches(const Layout& layout, int group, int origin) {
  std::set<int> seen;
  while (group != origin) {
    if (!seen.insert(group).second) return false;
    int master = 0;
    for (const auto& table : layout) {
      for (const Line& l : table) {
        if (l.shared == group && l.master != 0) master = l.master;
      }
    }
    if (master == 0) return false;
    group = master;
  }
  return true;
}

// Tells which check failed, with the layout, and aborts.
[[noreturn]] void Fail(const char* what, const Layout& layout, const std::string& mount_point,
                       int id) {
  fprintf(stderr, "%s (mount %d), M %s\n", what, id, Escaped(mount_point).c_str());
  for (size_t n = 0; n < layout.size(); ++n)
    fprintf(stderr, "-- %zu\n%s", n, TableText(layout[n]).c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Draw draw = {data, size};
  int next_id = 2;
  const Layout layout = DrawLayout(draw, &next_id);
  const std::vector<Line>& own = layout[0];
  std::vector<const Line*> candidates;
  for (const Line& l : own) {
    if (l.mount_point != "/") candidates.push_back(&l);
  }
  if (candidates.empty()) return 0;
  const std::string mount_point =
      candidates[draw(static_cast<unsigned>(candidates.size()))]->mount_point;
  char dir[] = "/tmp/rule-fuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 0;
  std::vector<std::string> files;
  for (size_t n = 0; n < layout.size(); ++n) {
    files.push_back(std::string(dir) + "/" + std::to_string(n));
    FILE* file = fopen(files.back().c_str(), "w");
    const std::string text = TableText(layout[n]);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
  }
  // The parser gives back each line, unescaped.
  for (size_t n = 0; n < layout.size(); ++n) {
    busyumount::Table table;
    static busyumount::Mount mount;
    if (!busyumount::OpenTable(files[n].c_str(), &table)) abort();
    for (const Line& l : layout[n]) {
      if (!ReadMount(&table, &mount) || mount.id != l.id || mount.parent != l.parent ||
          mount.major != l.major || mount.minor != l.minor || mount.root != l.root ||
          mount.mount_point != l.mount_point || mount.shared != l.shared ||
          mount.master != l.master || strcmp(mount.type, "tmpfs") != 0) {
        abort();
      }
    }
    if (ReadMount(&table, &mount)) abort();
    close(table.fd);
  }
  // The rule takes what the plain reading takes.
  static busyumount::Taken taken;
  static busyumount::Paths paths;
  static busyumount::Copies copies;
  busyumount::Table table;
  if (!busyumount::OpenTable(files[0].c_str(), &table)) abort();
  const int read = busyumount::ReadTakenMounts(&table, mount_point.c_str(), &taken);
  close(table.fd);
  const std::vector<Expected> expected = ReferenceTaken(own, mount_point);
  if (read > 0) {
    std::set<int> got, want;
    for (int i = 0; i < taken.count; ++i) got.insert(taken.mounts[i].id);
    for (const Expected& t : expected) want.insert(t.id);
    if (got != want) Fail("taken", layout, mount_point, 0);
    paths.count = paths.prefix_count = 0, paths.used = 0, paths.left_out = 0;
    copies.count = copies.link_count = 0;
    busyumount::AddPath(&paths, mount_point.c_str());
    int left_out = 0;
    for (size_t n = 0; n < layout.size(); ++n) {
      if (!busyumount::OpenTable(files[n].c_str(), &table)) abort();
      left_out |=
          busyumount::ReadCopies(&table, static_cast<unsigned>(n + 1), &taken, &paths, &copies);
      close(table.fd);
    }
    busyumount::ResolveReceivers(&taken, &copies, left_out & busyumount::kLinksLeftOut);
    std::map<int, int> groups;  // of the taken mounts' parents, by their ids
    for (const Expected& t : expected) groups[t.id] = t.group;
    for (size_t n = 0; n < layout.size(); ++n) {
      for (const Line& x : layout[n]) {
        const Verdict want = ReferencePlace(layout[n], x, expected);
        bool counts = false;
        for (const auto& [id, place] : want.places) {
          counts |= want.counts &&
                    (place.first == 0 || ReferenceReaches(layout, place.first, groups[id]));
        }
        busyumount::Placed placed;
        if (!busyumount::OpenTable(files[n].c_str(), &table)) abort();
        if (busyumount::PlaceMount(&table, x.id, &taken, &placed) != 1) abort();
        close(table.fd);
        std::map<int, std::pair<int, bool>> places;
        for (int i = 0; i < taken.count; ++i) {
          if ((placed.places >> i & 1) == 0) continue;
          places[taken.mounts[i].id] = {busyumount::PlacedGroup(placed, taken.mounts[i]),
                                        (placed.replaced >> i & 1) != 0};
        }
        if (places != want.places) Fail("places", layout, mount_point, x.id);
        if (!places.empty() && placed.counts != want.counts) {
          Fail("mounts on it", layout, mount_point, x.id);
        }
        // The records, where nothing was left out, tell the same.
        if (left_out != 0) continue;
        bool noted = false;
        for (int i = 0; i < copies.count; ++i) {
          noted |= copies.copies[i].id == x.id && busyumount::Counts(copies.copies[i]);
        }
        if (noted != counts) Fail("noted", layout, mount_point, x.id);
      }
    }
  }
  for (const std::string& file : files) unlink(file.c_str());
  rmdir(dir);
  return 0;
}
