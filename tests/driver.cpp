// Runs the built program as a user would, one case per invocation:
//   driver CASE OBJDUMP MANUAL CMAKE COMPILER [EMULATOR...] PROGRAM
// It is its processes' subreaper, so the child that the program never waits for is
// reparented here and its exit status and CPU time can be read as well. A cross-built
// program runs under the emulator named, with the driver itself native: a program under
// qemu-user could not start a foreign one.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <elf.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <sched.h>
#include <linux/seccomp.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

// The smallest real call tree of the program's shape: each invocation is a test, a call
// or two and a return. The program's workload is measured against it.
extern "C" void referenceTree(int depth);
#if defined(__x86_64__)
const unsigned nativeArch = AUDIT_ARCH_X86_64;
asm(R"(
	.text
	.globl referenceTree
	.type referenceTree, @function
	.p2align 4
referenceTree:
	test %edi, %edi
	jle 1f
	push %rbx
	lea -1(%rdi), %ebx
	mov %ebx, %edi
	call referenceTree
	mov %ebx, %edi
	call referenceTree
	pop %rbx
1:	ret
	.size referenceTree, .-referenceTree
)");
#elif defined(__aarch64__)
const unsigned nativeArch = AUDIT_ARCH_AARCH64;
asm(R"(
	.text
	.globl referenceTree
	.type referenceTree, %function
	.p2align 4
referenceTree:
	cmp w0, #0
	b.le 1f
	stp x19, x30, [sp, #-16]!
	sub w19, w0, #1
	mov w0, w19
	bl referenceTree
	mov w0, w19
	bl referenceTree
	ldp x19, x30, [sp], #16
1:	ret
	.size referenceTree, .-referenceTree
)");
#endif
#ifndef SYS_fork // only clone makes processes here
const unsigned SYS_fork = ~0U, SYS_vfork = ~0U;
#endif

namespace {

const int depth = 29;
const int hex = 16;
const int setupFailed = 126, execFailed = 127; // as the shell has them
const int skipped = 77;

struct Paths {
	std::vector<std::string> program; // the emulator, if any, and the program
	std::string objdump, manual, cmake, compiler;
};

std::vector<std::string> failures;

struct Skip : std::runtime_error {
	using std::runtime_error::runtime_error;
};

void
check(bool ok, const std::string &what)
{
	if (!ok)
		failures.push_back(what);
}

enum class Out { Pipe, File, Full, Closed, Gone, HungUp };

struct Process {
	pid_t pid = -1;
	int status = -1;
	rusage usage{};
};

struct Run {
	std::string out, err;
	Process parent;
	std::vector<Process> others; // the parent's orphans, reaped here
	double seconds = 0;          // from the start until the parent ended
};

std::string
readAll(int fd)
{
	std::string text;
	char buf[BUFSIZ];
	ssize_t n = 0;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		text.append(buf, static_cast<size_t>(n));
	return text;
}

double
now()
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
	    .count();
}

double
cpuSeconds(const rusage &u)
{
	using std::chrono::microseconds, std::chrono::seconds;
	return std::chrono::duration<double>(seconds(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
	                                     microseconds(u.ru_utime.tv_usec + u.ru_stime.tv_usec))
	    .count();
}

// Makes every way of creating a process fail with EAGAIN, as when the process table is full.
// Threads are still made, as an emulator needs one: clone3, whose flags a filter cannot
// read, fails as unknown, so that the C library falls back to clone.
void
failForks()
{
	sock_filter filter[] = {
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nativeArch, 1, 0),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 0, 1),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fork, 5, 0),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_vfork, 4, 0),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 2),
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
	    BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 0, 1),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
	};
	sock_fprog prog{sizeof filter / sizeof filter[0], filter};
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
	    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
		_exit(setupFailed);
}

// A terminal whose other side has gone, as when its window was closed: writes to it fail.
int
hungUpTerminal()
{
	int master = posix_openpt(O_RDWR | O_NOCTTY);
	if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
		throw std::runtime_error("posix_openpt");
	int terminal = open(ptsname(master), O_WRONLY | O_NOCTTY | O_CLOEXEC);
	close(master);
	if (terminal < 0)
		throw std::runtime_error("open terminal");
	return terminal;
}

Run
spawn(const std::vector<std::string> &args, Out out = Out::Pipe, bool forkFails = false)
{
	int outPipe[2] = {-1, -1};
	int errPipe[2] = {-1, -1};
	FILE *file = nullptr;
	int stdOut = -1; // what the program gets as standard output; none when closed
	switch (out) {
	case Out::Pipe:
	case Out::Gone:
		if (pipe2(outPipe, O_CLOEXEC) != 0)
			throw std::runtime_error("pipe");
		stdOut = outPipe[1];
		break;
	case Out::File:
		file = tmpfile();
		stdOut = file == nullptr ? -1 : fcntl(fileno(file), F_DUPFD_CLOEXEC, 0);
		break;
	case Out::Full:
		stdOut = open("/dev/full", O_WRONLY | O_CLOEXEC);
		break;
	case Out::HungUp:
		stdOut = hungUpTerminal();
		break;
	case Out::Closed:
		break;
	}
	if (out != Out::Closed && stdOut < 0)
		throw std::runtime_error("standard output");
	if (pipe2(errPipe, O_CLOEXEC) != 0)
		throw std::runtime_error("pipe");

	Run run;
	double start = now();
	run.parent.pid = fork();
	if (run.parent.pid == 0) {
		(void)signal(SIGPIPE, SIG_DFL);
		if (stdOut < 0)
			close(1);
		else
			dup2(stdOut, 1);
		dup2(errPipe[1], 2);
		if (forkFails)
			failForks();
		std::vector<char *> argv;
		argv.reserve(args.size() + 1);
		std::transform(
		    args.begin(), args.end(), std::back_inserter(argv),
		    [](const std::string &arg) { return const_cast<char *>(arg.c_str()); });
		argv.push_back(nullptr);
		execvp(argv[0], argv.data());
		_exit(execFailed);
	}
	if (stdOut >= 0)
		close(stdOut);
	close(errPipe[1]);
	if (out == Out::Gone)
		close(outPipe[0]);

	wait4(run.parent.pid, &run.parent.status, 0, &run.parent.usage);
	run.seconds = now() - start;
	if (out == Out::Pipe) {
		run.out = readAll(outPipe[0]);
		close(outPipe[0]);
	}
	run.err = readAll(errPipe[0]);
	Process other;
	while ((other.pid = wait4(-1, &other.status, 0, &other.usage)) > 0)
		run.others.push_back(other);
	if (file != nullptr) {
		rewind(file);
		run.out = readAll(fileno(file));
		(void)fclose(file);
	}
	close(errPipe[0]);
	return run;
}

std::vector<std::string>
lines(const std::string &text)
{
	std::vector<std::string> result;
	size_t from = 0;
	for (size_t nl = 0; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
		result.push_back(text.substr(from, nl - from));
	check(from == text.size(), "output does not end with a line feed");
	return result;
}

// Checks the report of a run in which the parent made `children` children (0 or 1).
void
checkReport(const Run &run, size_t children)
{
	static const std::regex identity("Process id = (-?[0-9]+) Parent Id = (-?[0-9]+) ");
	static const std::regex childLine("Id of the child = (-?[0-9]+) ");
	static const std::regex timeLine("Total time of execution = (-?[0-9]+) seconds ");

	auto text = lines(run.out);
	check(text.size() == 3 + children, "wrong number of lines:\n" + run.out);
	size_t parentAt = 0;
	size_t childAt = 0;
	size_t timeAt = 0;
	size_t identities = 0;
	size_t childLines = 0;
	size_t timeLines = 0;
	long child = 0;
	long elapsed = 0;
	pid_t childPid = children == 1 && !run.others.empty() ? run.others[0].pid : -1;
	std::smatch m;
	for (size_t i = 0; i < text.size(); i++) {
		if (std::regex_match(text[i], m, identity)) {
			identities++;
			pid_t pid = std::stoi(m[1]);
			pid_t ppid = std::stoi(m[2]);
			if (pid == run.parent.pid) {
				parentAt = i;
				check(ppid == getpid(),
				      "the parent's parent is not the process that ran it");
			} else {
				check(pid == childPid,
				      "an identity line names an unknown process: " + text[i]);
				check(ppid == run.parent.pid,
				      "the child's parent is not the parent");
			}
		} else if (std::regex_match(text[i], m, childLine)) {
			childLines++, childAt = i, child = std::stol(m[1]);
		} else if (std::regex_match(text[i], m, timeLine)) {
			timeLines++, timeAt = i, elapsed = std::stol(m[1]);
		} else {
			check(false, "unexpected line: \"" + text[i] + "\"");
		}
	}
	check(identities == 1 + children && childLines == 1 && timeLines == 1,
	      "wrong mix of lines:\n" + run.out);
	check(parentAt < childAt && childAt < timeAt,
	      "the parent's lines are out of order:\n" + run.out);
	check(child == childPid, "the child line does not name the child");
	// Two readings truncated to whole seconds give the whole part of the run between them, or
	// one more. That run lasted no longer than the parent as seen from here, and no shorter
	// than the processor time the parent spent, less what starting it took.
	const double startupCpu = 0.02;
	auto low = static_cast<long>(cpuSeconds(run.parent.usage) - startupCpu);
	auto high = static_cast<long>(run.seconds) + 1;
	check(low <= elapsed && elapsed <= high, "the time line says " + std::to_string(elapsed) +
	                                             " s for a run of " +
	                                             std::to_string(run.seconds) + " s");
}

struct Expect {
	int status;             // wait status of each process
	const char *diagnostic; // what each process writes to standard error
};

void
checkRun(const Run &run, size_t processes, Expect expect)
{
	check(run.others.size() + 1 == processes, "expected " + std::to_string(processes) +
	                                              " processes, saw " +
	                                              std::to_string(run.others.size() + 1));
	check(run.parent.status == expect.status,
	      "parent ended with wait status " + std::to_string(run.parent.status));
	for (const auto &p : run.others)
		check(p.status == expect.status,
		      "child ended with wait status " + std::to_string(p.status));
	std::string diagnostics;
	for (size_t i = 0; i < processes; i++)
		diagnostics += expect.diagnostic;
	check(run.err == diagnostics, "standard error was:\n" + run.err);
}

// The reference tree's CPU time per process, run as two processes side by side like the
// program's: on a machine whose two processors share a core, each copy runs slower.
double
referenceSeconds()
{
	double seconds = 0;
	for (int i = 0; i < 2; i++)
		if (fork() == 0) {
			referenceTree(depth);
			_exit(0);
		}
	Process p;
	while ((p.pid = wait4(-1, &p.status, 0, &p.usage)) > 0)
		seconds += cpuSeconds(p.usage) / 2;
	return seconds;
}

// A run's processes, the parent last.
std::vector<Process>
processes(Run run)
{
	run.others.push_back(run.parent);
	return run.others;
}

void
checkWorkload(const Paths &paths)
{
	if (paths.program.size() > 1)
		throw Skip("an emulated program's CPU time says nothing of the native build's");
	double reference = referenceSeconds();
	Run run = spawn(paths.program);
	checkRun(run, 2, {0, ""});
	for (const auto &q : processes(run)) {
		double ratio = cpuSeconds(q.usage) / reference;
		// A depth one less or more halves or doubles it; so would folding half the calls.
		const double low = 0.7;
		const double high = 1.4;
		check(ratio > low && ratio < high,
		      "a process spent " + std::to_string(cpuSeconds(q.usage)) +
		          " s of CPU on a workload that takes " + std::to_string(reference) + " s");
	}
}

// Functions of a disassembly by name, each as its instructions' address, mnemonic and operands.
struct Instruction {
	unsigned long address;
	std::string mnemonic, operands;
};

std::map<std::string, std::vector<Instruction>>
disassemble(const Paths &paths)
{
	Run run = spawn({paths.objdump, "-d", "-C", "--no-show-raw-insn", paths.program.back()});
	check(run.parent.status == 0, "objdump failed: " + run.err);
	static const std::regex header("[0-9a-f]+ <(.*)>:");
	static const std::regex instruction(" *([0-9a-f]+):\\s+(\\S+)\\s*(.*)");
	std::map<std::string, std::vector<Instruction>> functions;
	std::vector<Instruction> *current = nullptr;
	std::smatch m;
	for (const auto &line : lines(run.out))
		if (std::regex_match(line, m, header))
			current = &functions[m[1]];
		else if (current != nullptr && std::regex_match(line, m, instruction))
			current->push_back({std::stoul(m[1], nullptr, hex), m[2], m[3]});
	return functions;
}

// Every invocation must be a real call: the tree's function calls itself twice and nothing
// else, and jumps only forward within itself, so no call became a jump or a loop. The
// mnemonics are x86-64's and aarch64's, as GNU and LLVM objdump spell them.
void
checkCalls(const Paths &paths)
{
	static const std::regex call("call.*|blr?");
	static const std::regex jump("j.*|b|b\\..*|br|cbn?z|tbn?z");
	static const std::regex target("([0-9a-f]+) <");
	static const std::regex passDepth("mov[lq]? (\\$(0x1d|29), ?%edi|w0, #(0x1d|29)\\b.*)");
	const std::string self = "<recursiveCall(int)>";
	auto functions = disassemble(paths);
	auto clones = std::count_if(functions.begin(), functions.end(), [](const auto &f) {
		return f.first.rfind("recursiveCall", 0) == 0;
	});
	check(clones == 1, "recursiveCall is missing or has specialised copies");

	const auto &body = functions["recursiveCall(int)"];
	int selfCalls = 0;
	std::smatch m;
	for (const auto &i : body) {
		if (std::regex_match(i.mnemonic, call)) {
			selfCalls++;
			check(i.operands.find(self) != std::string::npos,
			      "recursiveCall calls " + i.operands);
		} else if (std::regex_match(i.mnemonic, jump)) {
			unsigned long to = std::regex_search(i.operands, m, target)
			                       ? std::stoul(m[1], nullptr, hex)
			                       : 0;
			check(to > i.address && to <= body.back().address,
			      "recursiveCall jumps back or away: " + i.mnemonic + " " + i.operands);
		}
	}
	check(selfCalls == 2, "recursiveCall makes " + std::to_string(selfCalls) + " calls");

	int mainCalls = 0;
	bool depthSet = false;
	for (const auto &i : functions["main"]) {
		mainCalls += i.operands.find(self) != std::string::npos ? 1 : 0;
		depthSet = depthSet || std::regex_match(i.mnemonic + " " + i.operands, passDepth);
	}
	check(mainCalls == 1, "main calls recursiveCall " + std::to_string(mainCalls) + " times");
	check(depthSet, "main does not pass the depth 29");
}

void
checkManual(const Paths &paths)
{
	Run run = spawn({"groff", "-mandoc", "-ww", "-z", paths.manual});
	check(run.parent.status == 0 && run.err.empty(), "groff warns:\n" + run.err);
}

// The binary is hardened as distributions build their packages.
void
checkHardening(const Paths &paths)
{
	Run headers = spawn({paths.objdump, "-p", "-T", paths.program.back()});
	std::smatch m;
	unsigned long flags = 0;
	if (std::regex_search(headers.out, m, std::regex("FLAGS_1 +0x([0-9a-f]+)")))
		flags = std::stoul(m[1], nullptr, hex);
	check((flags & DF_1_PIE) != 0, "not a position-independent executable");
	check((flags & DF_1_NOW) != 0, "symbols are not bound at start, so RELRO is partial");
	check(std::regex_search(headers.out, std::regex("\n *RELRO ")), "no RELRO segment");
	check(std::regex_search(headers.out, std::regex("\n *STACK [^\n]*\n[^\n]*flags rw-")),
	      "the stack is executable");
	// glibc fortifies printf with an inline wrapper that needs __builtin_va_arg_pack, which
	// Clang lacks, so only a GCC build calls __printf_chk.
	check(paths.compiler != "GNU" || headers.out.find("__printf_chk") != std::string::npos,
	      "printf is not fortified (no __printf_chk)");
}

// `cmake --install` puts the program and its manual page under the prefix given.
void
checkInstall(const Paths &paths)
{
	std::string prefix = std::filesystem::temp_directory_path() / "program1-install.XXXXXX";
	if (mkdtemp(prefix.data()) == nullptr)
		throw std::runtime_error("mkdtemp");
	Run run =
	    spawn({paths.cmake, "--install",
	           std::filesystem::path(paths.program.back()).parent_path(), "--prefix", prefix});
	check(run.parent.status == 0, "cmake --install failed:\n" + run.err);
	check(access((prefix + "/bin/program1").c_str(), X_OK) == 0, "no bin/program1");
	std::ifstream installed(prefix + "/share/man/man1/program1.1");
	std::ifstream manual(paths.manual);
	check(installed && std::equal(std::istreambuf_iterator<char>(installed), {},
	                              std::istreambuf_iterator<char>(manual), {}),
	      "share/man/man1/program1.1 is missing or not the manual page");
	std::filesystem::remove_all(prefix);
}

constexpr const char *fullDisk = "program1: write error: No space left on device\n";
constexpr const char *closedOut = "program1: write error: Bad file descriptor\n";
constexpr const char *hungUp = "program1: write error: Input/output error\n";
constexpr const char *noFork = "program1: fork: Resource temporarily unavailable\n";

// Runs of the program, and what each of its processes must end with.
struct RunCase {
	const char *name;
	Out out;
	bool forkFails;
	Expect expect;
	std::array<const char *, 3> args;
};
constexpr RunCase runs[] = {
    {"pipe", Out::Pipe, false, {0, ""}, {}},
    {"file", Out::File, false, {0, ""}, {}},
    {"arguments", Out::Pipe, false, {0, ""}, {"-h", "--", "x"}},
    {"fork-fails", Out::Pipe, true, {W_EXITCODE(1, 0), noFork}, {}},
    {"full-disk", Out::Full, false, {W_EXITCODE(1, 0), fullDisk}, {}},
    {"closed-stdout", Out::Closed, false, {W_EXITCODE(1, 0), closedOut}, {}},
    {"reader-gone", Out::Gone, false, {SIGPIPE, ""}, {}},
    {"terminal-gone", Out::HungUp, false, {W_EXITCODE(1, 0), hungUp}, {}},
};

struct CheckCase {
	const char *name;
	void (*check)(const Paths &);
};
constexpr CheckCase checks[] = {
    {"workload", checkWorkload},   {"calls", checkCalls},     {"manual", checkManual},
    {"hardening", checkHardening}, {"install", checkInstall},
};

// Runs the case of that name; false if there is none.
bool
runNamed(const std::string &name, const Paths &paths)
{
	const RunCase *r = std::find_if(std::begin(runs), std::end(runs),
	                                [&](const RunCase &c) { return name == c.name; });
	if (r != std::end(runs)) {
		std::vector<std::string> args = paths.program;
		std::copy_if(r->args.begin(), r->args.end(), std::back_inserter(args),
		             [](const char *arg) { return arg != nullptr; });
		Run run = spawn(args, r->out, r->forkFails);
		checkRun(run, r->forkFails ? 1 : 2, r->expect);
		if (r->out == Out::Pipe || r->out == Out::File)
			checkReport(run, r->forkFails ? 0 : 1);
		return true;
	}
	const CheckCase *c = std::find_if(std::begin(checks), std::end(checks),
	                                  [&](const CheckCase &k) { return name == k.name; });
	if (c == std::end(checks))
		return false;
	c->check(paths);
	return true;
}

} // namespace

template <class T>
T
median(std::vector<T> values)
{
	std::sort(values.begin(), values.end());
	return values[values.size() / 2];
}

// Not a test: compares builds of the program by median CPU time and peak memory per process,
// the time also as a ratio to the reference tree's, over a few interleaved rounds of one run.
int
bench(const std::vector<std::string> &builds)
{
	const int rounds = 7;
	std::vector<std::vector<double>> seconds(builds.size() + 1);
	std::vector<std::vector<long>> peak(builds.size());
	for (int r = 0; r < rounds; r++) {
		seconds[0].push_back(referenceSeconds());
		for (size_t b = 0; b < builds.size(); b++)
			for (const auto &p : processes(spawn({builds[b]}))) {
				seconds[b + 1].push_back(cpuSeconds(p.usage));
				peak[b].push_back(p.usage.ru_maxrss);
			}
	}
	double reference = median(seconds[0]);
	printf("%-40s %8s %8s %10s\n", "build", "CPU s", "ratio", "peak KiB");
	printf("%-40s %8.3f %8.3f %10s\n", "reference call tree", reference, 1.0, "-");
	for (size_t b = 0; b < builds.size(); b++) {
		double cpu = median(seconds[b + 1]);
		printf("%-40s %8.3f %8.3f %10ld\n", builds[b].c_str(), cpu, cpu / reference,
		       median(peak[b]));
	}
	return 0;
}

int
main(int argc, char **argv)
{
	std::vector<std::string> args(argv + 1, argv + argc);
	prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
	if (args.size() > 1 && args[0] == "bench")
		return bench({args.begin() + 1, args.end()});
	try {
		const size_t program = 5; // after the case and four operands
		if (args.size() <= program ||
		    !runNamed(args[0], {{args.begin() + program, args.end()},
		                        args[1],
		                        args[2],
		                        args[3],
		                        args[4]})) {
			(void)fprintf(stderr, "usage: driver CASE OBJDUMP MANUAL CMAKE COMPILER "
			                      "[EMULATOR...] PROGRAM\n"
			                      "       driver bench PROGRAM...\n");
			return 2;
		}
	} catch (const Skip &e) {
		(void)printf("skipped: %s\n", e.what());
		return skipped;
	} catch (const std::exception &e) {
		failures.emplace_back(e.what());
	}
	for (const auto &f : failures)
		(void)fprintf(stderr, "%s: %s\n", args[0].c_str(), f.c_str());
	return failures.empty() ? 0 : 1;
}
