// Runs the built program as a user would, one case of the table below per invocation:
//   driver CASE [EMULATOR...] PROGRAM, or driver calls OBJDUMP CALL JUMP PASS-DEPTH PROGRAM
// where the regular expressions say how the disassembly spells a call, a jump and main's
// passing of the depth 29. The driver is its processes' subreaper, so the child that the
// program never waits for is reparented here and its exit status and CPU time can be read.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

// The smallest real call tree of the program's shape, against which the workload is measured,
// aligned as it is so that neither straddles two cache lines. Null where the driver knows none.
extern "C" [[gnu::weak]] void referenceTree(int depth);
#define REFERENCE_TREE(body)                                                                       \
	asm(".text; .weak referenceTree; .type referenceTree, %function; .p2align 6\n"             \
	    "referenceTree: " body "\n.size referenceTree, .-referenceTree")
#if defined(__x86_64__)
const unsigned nativeArch = AUDIT_ARCH_X86_64;
REFERENCE_TREE("test %edi, %edi; jle 1f; push %rbx; lea -1(%rdi), %ebx; mov %ebx, %edi;"
               "call referenceTree; mov %ebx, %edi; call referenceTree; pop %rbx; 1: ret");
#elif defined(__aarch64__)
const unsigned nativeArch = AUDIT_ARCH_AARCH64;
REFERENCE_TREE("cmp w0, #0; b.le 1f; stp x19, x30, [sp, #-16]!; sub w19, w0, #1; mov w0, w19;"
               "bl referenceTree; mov w0, w19; bl referenceTree; ldp x19, x30, [sp], #16;"
               "1: ret");
#else
const unsigned nativeArch = 0; // no seccomp filter either
#endif
#ifndef SYS_fork // only clone makes processes here
const unsigned SYS_fork = ~0U, SYS_vfork = ~0U;
#endif

namespace {

const int depth = 29;
const int hex = 16;
const int skipped = 77;
const int couldNotRun = 127;

std::vector<std::string> failures;

void
check(bool ok, const std::string &what)
{
	if (!ok)
		failures.push_back(what);
}

// For a facility the machine lacks: the case tells why and counts as skipped, not failed.
[[noreturn]] void
skip(const std::string &why)
{
	(void)printf("skipped: %s\n", why.c_str());
	exit(skipped);
}

// Where the command's stdout goes, read by the driver up to Terminal; Merged takes stderr too.
enum class Out { Pipe, Merged, File, Terminal, Full, Closed, NoReader, HungUpTerminal };

struct Process {
	pid_t pid = -1;
	int status = -1;
	rusage usage{};
};

struct Run {
	std::string out, err;
	Process parent;
	std::vector<Process> orphans; // the parent's child and any other, reaped here
	double seconds = 0;           // from the start until the parent ended
	std::vector<double> arrivals; // on a terminal, when each line arrived after the start
};

std::string
ended(int status)
{
	if (!WIFSIGNALED(status))
		return "exited " + std::to_string(WEXITSTATUS(status));
	return std::string("was killed: ") + strsignal(WTERMSIG(status));
}

// All that can be read from the descriptor, from its start if it is a file; closes it.
std::string
drain(int fd)
{
	std::string text;
	char buf[BUFSIZ];
	ssize_t n = 0;
	(void)lseek(fd, 0, SEEK_SET);
	while ((n = read(fd, buf, sizeof buf)) > 0)
		text.append(buf, static_cast<size_t>(n));
	close(fd);
	return text;
}

double
cpuSeconds(const rusage &u)
{
	const double perSecond = 1e6;
	return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
	       (static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / perSecond);
}

// Makes every way of creating a process fail with EAGAIN, as when the process table is full.
// Threads are still made, as an emulator needs one: clone3, whose flags a filter cannot
// read, fails as unknown, so that the C library falls back to clone.
bool
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
	return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
	       prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// In the child: runs the command with standard output and error on those descriptors (none
// below 0). What goes wrong it tells on standard error, exiting 127, or 77 for a skip.
[[noreturn]] void
execute(const std::vector<std::string> &args, int stdOut, int stdErr, bool forkFails)
{
	(void)signal(SIGPIPE, SIG_DFL);
	if (stdOut < 0)
		close(1);
	else
		dup2(stdOut, 1);
	dup2(stdErr, 2);
	std::vector<char *> argv(args.size() + 1); // and a null pointer to end it
	std::transform(args.begin(), args.end(), argv.begin(),
	               [](const std::string &arg) { return const_cast<char *>(arg.c_str()); });
	if (forkFails && !failForks()) {
		(void)fprintf(stderr, "cannot make fork fail: %s", strerror(errno));
		_exit(skipped);
	}
	execvp(argv[0], argv.data());
	(void)fprintf(stderr, "could not run %s: %s\n", argv[0], strerror(errno));
	_exit(couldNotRun);
}

// A pseudo-terminal's two sides, the driver's and the command's, raw: no carriage returns.
std::array<int, 2>
terminal()
{
	const int driverSide = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
	const int commandSide =
	    driverSide >= 0 && grantpt(driverSide) == 0 && unlockpt(driverSide) == 0
	        ? open(ptsname(driverSide), O_RDWR | O_NOCTTY | O_CLOEXEC)
	        : -1;
	termios mode{};
	if (commandSide < 0 || tcgetattr(commandSide, &mode) != 0)
		skip(std::string("no pseudo-terminal: ") + strerror(errno));
	cfmakeraw(&mode);
	(void)tcsetattr(commandSide, TCSANOW, &mode);
	return {driverSide, commandSide};
}

// Runs a command to its end, and its orphans too. Its output goes to a pipe that holds far
// more than the program writes, or to real unnamed files, like a shell's (two processes that
// write one memfd at once can overwrite each other); a terminal is read while the command runs.
Run
spawn(const std::vector<std::string> &args, Out out = Out::File, bool forkFails = false)
{
	std::array<int, 2> ends = {-1, -1}; // what the driver reads, what the command writes
	auto file = [] { return open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR); };
	const int stdErr = file();
	if (out == Out::Pipe || out == Out::Merged || out == Out::NoReader)
		ends[1] = pipe2(ends.data(), O_CLOEXEC) == 0 ? ends[1] : -1;
	else if (out == Out::File)
		ends[1] = file();
	else if (out == Out::Full)
		ends[1] = open("/dev/full", O_WRONLY | O_CLOEXEC);
	else if (out == Out::Terminal || out == Out::HungUpTerminal)
		ends = terminal();
	if ((out != Out::Closed && ends[1] < 0) || stdErr < 0)
		throw std::system_error(errno, std::generic_category(),
		                        "cannot set up the command");
	// No reader, as when it has gone; a terminal's, as when its window was closed.
	if (out == Out::NoReader || out == Out::HungUpTerminal)
		close(ends[0]);

	Run run;
	auto start = std::chrono::steady_clock::now();
	auto now = [&] {
		return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
		    .count();
	};
	run.parent.pid = fork();
	if (run.parent.pid == 0)
		execute(args, ends[1], out == Out::Merged ? ends[1] : stdErr, forkFails);
	if (out != Out::File)
		close(ends[1]);
	// Reading fails once every process has closed the terminal.
	char buf[BUFSIZ];
	for (ssize_t n = 0; out == Out::Terminal && (n = read(ends[0], buf, sizeof buf)) > 0;) {
		run.out.append(buf, static_cast<size_t>(n));
		run.arrivals.resize(
		    static_cast<size_t>(std::count(run.out.begin(), run.out.end(), '\n')), now());
	}

	wait4(run.parent.pid, &run.parent.status, 0, &run.parent.usage);
	run.seconds = now();
	Process orphan;
	while ((orphan.pid = wait4(-1, &orphan.status, 0, &orphan.usage)) > 0)
		run.orphans.push_back(orphan);
	if (out == Out::Pipe || out == Out::Merged || out == Out::Terminal)
		run.out += drain(ends[0]);
	else if (out == Out::File)
		run.out = drain(ends[1]);
	run.err = drain(stdErr);
	if (WIFEXITED(run.parent.status) && WEXITSTATUS(run.parent.status) == skipped)
		skip(run.err + run.out);
	return run;
}

// The cases: a check of its own, or a run of the program and how each of its processes ends.
struct Case {
	const char *name;
	void (*check)(const std::vector<std::string> &program) = nullptr;
	Out out = Out::Pipe;
	bool forkFails = false;
	int status = 0;       // wait status of each process
	const char *err = ""; // what each process writes to standard error
	std::array<const char *, 3> args{};
};

// An error's reason is the C library's own text, which differs between libraries.
std::string
withoutReasons(const std::string &text)
{
	static const std::regex reason("(^|\n)(program1: [^:\n]+: )[^\n]+");
	return std::regex_replace(text, reason, "$1$2<reason>");
}

// The output must be exactly the parent's three lines and the child's one, but for the seconds,
// each process's in its own order: the child's line before, between or after the parent's,
// which follow any error that shares the pipe. On a terminal each line leaves as it is
// written: both identity lines at once, the parent's other two when its workload ends.
void
checkOutput(const Run &run, const Case &c)
{
	const bool forked = !c.forkFails;
	const pid_t child = forked && !run.orphans.empty() ? run.orphans[0].pid : -1;
	auto identity = [](pid_t pid, pid_t ppid) {
		return "Process id = " + std::to_string(pid) +
		       " Parent Id = " + std::to_string(ppid) + " \n";
	};
	std::string childLine = forked ? identity(child, run.parent.pid) : "";
	std::string parentLines = (c.out == Out::Merged ? c.err : "") +
	                          identity(run.parent.pid, getpid()) +
	                          "Id of the child = " + std::to_string(child) +
	                          " \nTotal time of execution = N seconds \n";

	static const std::regex seconds("Total time of execution = (-?[0-9]+) seconds");
	std::smatch m;
	std::regex_search(run.out, m, seconds);
	std::string masked = std::regex_replace(withoutReasons(run.out), seconds,
	                                        "Total time of execution = N seconds");
	// Where the child's line may stand: at the start, or after one of the parent's lines.
	std::vector<size_t> places = {0};
	for (size_t at = parentLines.find('\n'); at != std::string::npos;
	     at = parentLines.find('\n', at + 1))
		places.push_back(at + 1);
	places.resize(c.out == Out::Terminal ? 2 : places.size());
	// Each line's end shown as $, as cat -A shows it, so that a missing blank shows.
	auto visible = [](const std::string &text) {
		return std::regex_replace(text, std::regex("\n"), "$$\n");
	};
	if (std::none_of(places.begin(), places.end(), [&](size_t at) {
		    return masked == parentLines.substr(0, at) + childLine + parentLines.substr(at);
	    })) {
		check(false,
		      "expected\n" + visible(parentLines) +
		          (forked ? "with, among them, the child's\n" + visible(childLine) : "") +
		          "but the output was\n" + visible(run.out));
		return;
	}
	// Two readings truncated to whole seconds give the whole part of the run between them, or
	// one more. That run lasted no longer than the parent as seen from here, and no shorter
	// than the processor time the parent spent, less what starting it took.
	const long elapsed = std::stol(m[1]);
	const double startupCpu = 0.02;
	auto low = static_cast<long>(cpuSeconds(run.parent.usage) - startupCpu);
	auto high = static_cast<long>(run.seconds) + 1;
	check(low <= elapsed && elapsed <= high, "the time line says " + std::to_string(elapsed) +
	                                             " s for a run of " +
	                                             std::to_string(run.seconds) + " s");
	if (c.out == Out::Terminal)
		check(run.arrivals[1] < run.arrivals[3] / 2,
		      "the identity lines arrived " + std::to_string(run.arrivals[1]) +
		          " s after the start, not long before the time line at " +
		          std::to_string(run.arrivals[3]) + " s");
}

// Runs the program as the case says; checks its processes, how each ended and what it wrote.
Run
runProgram(const std::vector<std::string> &program, const Case &c)
{
	// cppcheck-suppress knownConditionTrueFalse
	if (c.forkFails && nativeArch == 0)
		skip("the driver knows no system calls of this machine to make fork fail");
	std::vector<std::string> command = program;
	command.insert(command.end(), c.args.begin(),
	               std::find(c.args.begin(), c.args.end(), nullptr));
	Run run = spawn(command, c.out, c.forkFails);
	const size_t processes = c.forkFails ? 1 : 2;
	check(run.orphans.size() + 1 == processes, "expected " + std::to_string(processes) +
	                                               " processes, saw " +
	                                               std::to_string(run.orphans.size() + 1));
	for (const auto &p : run.orphans)
		check(p.status == c.status, "the child " + ended(p.status));
	check(run.parent.status == c.status, "the parent " + ended(run.parent.status));
	std::string diagnostics;
	for (size_t i = 0; i < processes && c.out != Out::Merged; i++)
		diagnostics += c.err;
	check(withoutReasons(run.err) == diagnostics, "standard error was:\n" + run.err);
	if (c.out <= Out::Terminal)
		checkOutput(run, c);
	return run;
}

// Each process's CPU time must be close to the reference tree's, run as two processes side
// by side like the program's: on a machine whose two processors share a core, each copy
// runs slower. The measurements are printed for tests/bench.sh.
void
checkWorkload(const std::vector<std::string> &program)
{
	if (referenceTree == nullptr)
		skip("the driver knows no reference call tree for this machine");
	double reference = 0;
	for (int i = 0; i < 2; i++)
		if (fork() == 0) {
			referenceTree(depth);
			_exit(0);
		}
	Process p;
	while ((p.pid = wait4(-1, &p.status, 0, &p.usage)) > 0)
		reference += cpuSeconds(p.usage) / 2;
	Run run = runProgram(program, {.name = "workload"});
	run.orphans.push_back(run.parent);
	for (const auto &q : run.orphans) {
		const double ratio = cpuSeconds(q.usage) / reference;
		(void)printf("measured %.3f %.3f %ld\n", ratio, cpuSeconds(q.usage),
		             q.usage.ru_maxrss);
		// A depth one less or more halves or doubles it; so would folding half the calls.
		const double low = 0.7;
		const double high = 1.4;
		check(ratio > low && ratio < high,
		      "a process spent " + std::to_string(cpuSeconds(q.usage)) +
		          " s of CPU on a workload that takes " + std::to_string(reference) + " s");
	}
}

// Every invocation must be a real call: the tree's function calls itself twice and nothing
// else, and jumps only forward within itself, so no call became a jump or a loop.
void
checkCalls(const std::vector<std::string> &args)
{
	static const std::regex header("[0-9a-f]+ <(.*)>:");
	static const std::regex instruction(" *([0-9a-f]+):\\s+(\\S+)\\s*(.*)");
	const std::regex call(args.at(1));
	const std::regex jump(args.at(2));
	const std::regex passDepth(args.at(3));
	static const std::regex target("([0-9a-f]+) <");
	const std::string self = "<recursiveCall(int)>";

	// Only these two functions are kept: a static build has megabytes of others.
	struct Instruction {
		unsigned long address;
		std::string mnemonic, operands;
	};
	std::map<std::string, std::vector<Instruction>> functions;
	std::vector<Instruction> *current = nullptr;
	int copies = 0; // of recursiveCall, specialised or not
	const Run dump = spawn({args[0], "-d", "-C", "--no-show-raw-insn", args.back()});
	check(dump.parent.status == 0, "objdump " + ended(dump.parent.status) + ":\n" + dump.err);
	std::istringstream text(dump.out);
	std::smatch m;
	for (std::string line; std::getline(text, line);)
		if (line.ends_with(">:") && std::regex_match(line, m, header)) {
			copies += m[1].str().starts_with("recursiveCall") ? 1 : 0;
			current = m[1] == "main" || m[1] == "recursiveCall(int)" ? &functions[m[1]]
			                                                         : nullptr;
		} else if (current != nullptr && std::regex_match(line, m, instruction))
			current->push_back({std::stoul(m[1], nullptr, hex), m[2], m[3]});
	check(copies == 1, "recursiveCall is missing or has specialised copies");

	const auto &body = functions["recursiveCall(int)"];
	int selfCalls = 0;
	for (const auto &i : body)
		if (std::regex_match(i.mnemonic, call)) {
			selfCalls++;
			check(i.operands.find(self) != std::string::npos,
			      "recursiveCall calls " + i.operands);
		} else if (std::regex_match(i.mnemonic, jump)) {
			const unsigned long to = std::regex_search(i.operands, m, target)
			                             ? std::stoul(m[1], nullptr, hex)
			                             : 0;
			check(to > i.address && to <= body.back().address,
			      "recursiveCall jumps back or away: " + i.mnemonic + " " + i.operands);
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

constexpr const char *writeError = "program1: write error: <reason>\n";
constexpr const char *noFork = "program1: fork: <reason>\n";
constexpr int failed = 1 << 8; // the wait status of an exit with 1
// tests/CMakeLists.txt names each case again, and its cases test holds the two lists together.
constexpr Case cases[] = {
    {.name = "pipe"},
    {.name = "file", .out = Out::File},
    {.name = "terminal", .out = Out::Terminal},
    {.name = "arguments", .args = {"-h", "--", "x"}},
    {.name = "fork-fails", .out = Out::Merged, .forkFails = true, .status = failed, .err = noFork},
    {.name = "full-disk", .out = Out::Full, .status = failed, .err = writeError},
    {.name = "closed-stdout", .out = Out::Closed, .status = failed, .err = writeError},
    {.name = "reader-gone", .out = Out::NoReader, .status = SIGPIPE},
    {.name = "terminal-gone", .out = Out::HungUpTerminal, .status = failed, .err = writeError},
    {.name = "workload", .check = checkWorkload},
    {.name = "calls", .check = checkCalls},
};

} // namespace

int
main(int argc, char **argv)
{
	const Case *c = std::find_if(std::begin(cases), std::end(cases), [&](const Case &k) {
		return argc > 2 && strcmp(argv[1], k.name) == 0;
	});
	if (c == std::end(cases)) {
		(void)fprintf(stderr, "usage: driver CASE [EMULATOR...] PROGRAM\ncases:");
		for (const auto &k : cases)
			(void)fprintf(stderr, " %s", k.name);
		(void)fprintf(stderr, "\n");
		return 2;
	}
	const std::vector<std::string> program(argv + 2, argv + argc);
	if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0)
		skip(std::string("cannot reap the program's orphans: ") + strerror(errno));
	try {
		c->check != nullptr ? c->check(program) : (void)runProgram(program, *c);
	} catch (const std::exception &e) {
		failures.emplace_back(e.what());
	}
	for (const auto &f : failures)
		(void)fprintf(stderr, "%s: %s\n", c->name, f.c_str());
	return failures.empty() ? 0 : 1;
}
