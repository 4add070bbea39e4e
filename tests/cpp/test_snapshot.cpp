// The staged-change copy: where it is made when a place is full, which copies a later run
// removes, and how git's object stream is read.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "core/commit/commit.h"
#include "core/fsutil.h"

namespace {

bool run(const std::string &cmd) { return std::system(cmd.c_str()) == 0; }

bool empty_dir(const std::string &dir) {
    return run("test -z \"$(ls -A '" + dir + "')\"");
}

}  // namespace

std::pair<int, int> test_snapshot() {
    int passed = 0, failed = 0;
    auto expect = [&](bool ok, const char *what) {
        if (ok) ++passed;
        else {
            ++failed;
            std::printf("FAIL snapshot: %s\n", what);
        }
    };
    char tmpl[] = "/tmp/tw-snapshot-test-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        expect(false, "scratch directory");
        return {passed, failed};
    }
    std::string root = tmpl, repo_dir = root + "/repo", full = root + "/full", roomy = root + "/roomy";
    bool made = run("cd " + root + " && mkdir -p repo/infra full roomy && cd repo && git init -q && "
                    "printf 'resource \"acme_server\" \"web\" {\\n}\\n' > infra/main.tf && git add . && "
                    "git -c user.name=t -c user.email=t@example.com commit -qm base && "
                    "printf 'resource \"acme_cluster\" \"k8s\" {\\n}\\n' > infra/more.tf && git add .");
    expect(made, "a repository with a staged change");
    if (made) {
        tw::commit::Repo repo = tw::commit::open(repo_dir + "/infra", "HEAD");
        // The first place takes 10 bytes: the copy is made in the second, the first left empty.
        {
            tw::commit::Snapshot snap(repo, {}, false, {{full, 10}, {roomy}});
            expect(snap.index_root().starts_with(roomy + "/tally-warden-"), "copied to the next place");
            expect(tw::fs::is_file(snap.index_root() + "/more.tf"), "the staged file is copied");
            expect(empty_dir(full), "nothing left in the full place");
            expect(snap.notes().size() == 1 && snap.notes()[0] == "No space left for the temporary copy under " + full +
                       "; it is made under " + roomy + " instead.",
                   "the full place is named in one line");
        }
        expect(empty_dir(roomy), "removed with the object");
        bool no_space = false;
        try {
            tw::commit::Snapshot snap(repo, {}, false, {{full, 10}});
        } catch (const tw::commit::NoSpace &) {
            no_space = true;
        }
        expect(no_space && empty_dir(full), "no place with room: the error, and nothing left");
    }

    // Copies whose owner is gone: a free pid of this namespace; never an unknown owner.
    std::string ns;
    {
        char buf[64];
        ssize_t n = ::readlink("/proc/self/ns/pid", buf, sizeof buf - 1);
        std::string link(buf, n > 0 ? size_t(n) : 0);
        if (link.find('[') != std::string::npos) ns = link.substr(link.find('[') + 1, link.find(']') - link.find('[') - 1);
    }
    std::string own = "tally-warden-" + ns + "-" + std::to_string(::getpid());
    expect(tw::commit::owner_gone("tally-warden-" + ns + "-2147483646-5-abcdef"), "a free pid");
    expect(!tw::commit::owner_gone(own + "-1-abcdef"), "this process");
    expect(!tw::commit::owner_gone("tally-warden-abcdef"), "an older name");
    expect(!tw::commit::owner_gone("tally-warden-1-2147483646-5-abcdef"), "another pid namespace");
    expect(!tw::commit::owner_gone("tally-warden-" + ns + "--5-abcdef"), "a malformed name");
    expect(!tw::commit::owner_gone("other-" + ns + "-2147483646-5-abcdef"), "another program's name");
    std::string stale = roomy + "/tally-warden-" + ns + "-2147483646-5-abcdef";
    std::string link = roomy + "/tally-warden-" + ns + "-2147483645-5-abcdef";
    ::mkdir(stale.c_str(), 0700);
    ::mkdir((stale + "/sub").c_str(), 0700);
    run("ln -s " + repo_dir + " " + link);
    tw::commit::sweep_stale(roomy);
    expect(!tw::fs::exists(stale), "a stale copy is removed");
    expect(tw::fs::is_dir(repo_dir + "/infra") && ::unlink(link.c_str()) == 0, "a symlink is never followed");

    // The object stream: a tree's body is read past, a missing object has none.
    {
        std::string a = roomy + "/a", b = roomy + "/b";
        tw::commit::BatchReader reader({"t", "m", "b"}, {{"t", {a}}, {"m", {a}}, {"b", {b}}});
        reader.feed("t tree 3\nxyz\nm missing\nb blob 2\nhi");
        reader.feed("\n");
        reader.finish();
        std::string bytes, error;
        expect(!tw::fs::exists(a) && tw::fs::read_bytes(b, bytes, error) && bytes == "hi", "objects in order");
        bool bad = false;
        try {
            tw::commit::BatchReader r2({"b"}, {{"b", {roomy + "/c"}}});
            r2.feed("b blob -1\n");
        } catch (const tw::commit::GitError &) {
            bad = true;
        }
        expect(bad, "a size that is no number");
    }
    tw::commit::remove_tree(root);
    return {passed, failed};
}
