// Runs a program as a child process with chosen arguments (argument 0 included),
// standard input and working directory, and collects its output and exit status.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

struct ProgramRun {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// A temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/quendrix-test-XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("chmod -R u+rwx '" + path_ + "'; rm -rf '" + path_ + "'").c_str());
    }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

// `env` null means the test's own environment.
inline ProgramRun run_program(const std::string &program, std::vector<std::string> argv,
                              const std::string &input = "", const std::string &cwd = "",
                              const std::vector<std::string> *env = nullptr) {
    TempDir io;
    std::string in = io.file("in"), out = io.file("out"), err = io.file("err");
    write_file(in, input);
    std::vector<char *> args;
    for (auto &a : argv) args.push_back(&a[0]);
    args.push_back(nullptr);
    std::vector<std::string> env_copy;
    std::vector<char *> envp;
    if (env) {
        env_copy = *env;
        for (auto &e : env_copy) envp.push_back(&e[0]);
        envp.push_back(nullptr);
    }
    pid_t pid = fork();
    if (pid == 0) {
        int fd_in = open(in.c_str(), O_RDONLY);
        int fd_out = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int fd_err = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd_in, 0);
        dup2(fd_out, 1);
        dup2(fd_err, 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execve(program.c_str(), args.data(), env ? envp.data() : environ);
        _exit(127);
    }
    ProgramRun r;
    int wstatus = 0;
    if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus))
        r.status = WEXITSTATUS(wstatus);
    r.out = read_all(out);
    r.err = read_all(err);
    return r;
}
