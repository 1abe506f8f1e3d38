// Runs the built program as a user would, one case of the table below per invocation:
//   driver CASE [PROGRAM]
// CMake writes what the driver knows of the build into build.h; PROGRAM, for tests/bench.sh,
// stands in for the built program. The driver is its processes' subreaper, so the child that
// the program never waits for is reparented here and its exit status and CPU time can be
// read. A cross-built program runs under the emulator, with the driver native.
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <elf.h>
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
#include <filesystem>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "build.h"

// The smallest real call tree of the program's shape: each invocation is a test, a call
// or two and a return. The program's workload is measured against it.
extern "C" void referenceTree(int depth);
#define REFERENCE_TREE(body)                                                                       \
	asm(".text; .globl referenceTree; .type referenceTree, %function; .p2align 4\n"            \
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

// Where the command's standard output goes; Merged is a pipe that takes its errors too.
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
	const char *name = sigabbrev_np(WTERMSIG(status)); // none for real-time signals
	return name != nullptr ? std::string("was killed by SIG") + name
	                       : "was killed by signal " + std::to_string(WTERMSIG(status));
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
	       static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / perSecond;
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

// In the child: runs the command with standard output and error on those descriptors (no
// output where there is none). What goes wrong it tells on standard error, exiting 127, or
// 77 where the machine cannot make fork fail.
[[noreturn]] void
execute(const std::vector<std::string> &args, int stdOut, int stdErr, bool forkFails)
{
	(void)signal(SIGPIPE, SIG_DFL);
	if (stdOut < 0)
		close(1);
	else
		dup2(stdOut, 1);
	dup2(stdErr, 2);
	std::vector<char *> argv;
	std::transform(args.begin(), args.end(), std::back_inserter(argv),
	               [](const std::string &arg) { return const_cast<char *>(arg.c_str()); });
	argv.push_back(nullptr);
	if (forkFails && !failForks()) {
		(void)fprintf(stderr, "cannot make fork fail: %s", strerror(errno));
		_exit(skipped);
	}
	execvp(argv[0], argv.data());
	(void)fprintf(stderr, "could not run %s: %s\n", argv[0], strerror(errno));
	_exit(couldNotRun);
}

// A pseudo-terminal's two sides: the driver's, and the command's, which shows each byte as it
// is written, with no carriage return added.
std::array<int, 2>
terminal()
{
	int driverSide = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
	if (driverSide < 0 || grantpt(driverSide) != 0 || unlockpt(driverSide) != 0)
		skip(std::string("no pseudo-terminal: ") + strerror(errno));
	int commandSide = open(ptsname(driverSide), O_RDWR | O_NOCTTY | O_CLOEXEC);
	termios mode{};
	if (commandSide < 0 || tcgetattr(commandSide, &mode) != 0)
		skip(std::string("cannot open a pseudo-terminal: ") + strerror(errno));
	cfmakeraw(&mode);
	(void)tcsetattr(commandSide, TCSANOW, &mode);
	return {driverSide, commandSide};
}

// Runs a command to its end, and its orphans too. Its output goes to files in memory, which
// never fill up and stop it, or to a pipe that holds far more than the program writes; a
// terminal is read while the command runs, to see when each line arrives.
Run
spawn(const std::vector<std::string> &args, Out out = Out::File, bool forkFails = false)
{
	std::array<int, 2> ends = {-1, -1}; // what the driver reads, what the command writes
	int stdErr = memfd_create("stderr", MFD_CLOEXEC);
	if (out == Out::Pipe || out == Out::Merged || out == Out::NoReader)
		ends[1] = pipe2(ends.data(), O_CLOEXEC) == 0 ? ends[1] : -1;
	else if (out == Out::File)
		ends[1] = memfd_create("stdout", MFD_CLOEXEC);
	else if (out == Out::Full)
		ends[1] = open("/dev/full", O_WRONLY | O_CLOEXEC);
	else if (out == Out::Terminal || out == Out::HungUpTerminal)
		ends = terminal();
	if ((out != Out::Closed && ends[1] < 0) || stdErr < 0)
		throw std::runtime_error(std::string("cannot set up the command: ") +
		                         strerror(errno));
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

// The cases: a check of its own, or a run of the program and what each of its processes must
// end with.
struct Case {
	const char *name;
	void (*check)(const std::vector<std::string> &program) = nullptr;
	Out out = Out::Pipe;
	bool forkFails = false;
	int status = 0;       // wait status of each process
	const char *err = ""; // what each process writes to standard error
	std::array<const char *, 3> args{};
};

// The text with each line's end shown as $, as cat -A shows it, so that a missing blank shows.
std::string
visible(const std::string &text)
{
	return std::regex_replace(text, std::regex("\n"), "$$\n");
}

// The output must be exactly the parent's three lines and the child's one, with only the
// seconds not known beforehand. Into a pipe or a file each process's lines leave in one write
// when it ends, in either order, after any error that shares the pipe. On a terminal each
// line leaves as it is written: both identity lines at once, the parent's two when its
// workload ends.
void
checkOutput(const Run &run, const Case &c)
{
	bool forked = !c.forkFails;
	pid_t child = forked && !run.orphans.empty() ? run.orphans[0].pid : -1;
	auto identity = [](pid_t pid, pid_t ppid) {
		return "Process id = " + std::to_string(pid) +
		       " Parent Id = " + std::to_string(ppid) + " \n";
	};
	std::string diagnostic = c.out == Out::Merged ? c.err : "";
	std::string childLines = forked ? identity(child, run.parent.pid) : "";
	std::string parentId = identity(run.parent.pid, getpid());
	std::string results = "Id of the child = " + std::to_string(child) +
	                      " \nTotal time of execution = N seconds \n";
	std::array<std::string, 2> expected = {diagnostic + childLines + parentId + results,
	                                       diagnostic + parentId + results + childLines};
	if (c.out == Out::Terminal)
		expected[1] = parentId + childLines + results;

	static const std::regex seconds("Total time of execution = (-?[0-9]+) seconds");
	std::smatch m;
	std::string masked = run.out;
	if (std::regex_search(run.out, m, seconds))
		masked.replace(static_cast<size_t>(m.position(1)), static_cast<size_t>(m.length(1)),
		               "N");
	if (masked != expected[0] && masked != expected[1]) {
		check(false, "expected\n" + visible(expected[0]) +
		                 (forked ? "or\n" + visible(expected[1]) : "") +
		                 "but the output was\n" + visible(run.out));
		return;
	}
	// Two readings truncated to whole seconds give the whole part of the run between them, or
	// one more. That run lasted no longer than the parent as seen from here, and no shorter
	// than the processor time the parent spent, less what starting it took.
	long elapsed = std::stol(m[1]);
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

// Runs the program as the case says and checks that it had as many processes as the case
// expects, each ending as it expects, and, where it can be read, what it wrote.
Run
runProgram(const std::vector<std::string> &program, const Case &c)
{
	std::vector<std::string> command = program;
	std::copy_if(c.args.begin(), c.args.end(), std::back_inserter(command),
	             [](const char *arg) { return arg != nullptr; });
	Run run = spawn(command, c.out, c.forkFails);
	size_t processes = c.forkFails ? 1 : 2;
	check(run.orphans.size() + 1 == processes, "expected " + std::to_string(processes) +
	                                               " processes, saw " +
	                                               std::to_string(run.orphans.size() + 1));
	for (const auto &p : run.orphans)
		check(p.status == c.status, "the child " + ended(p.status));
	check(run.parent.status == c.status, "the parent " + ended(run.parent.status));
	std::string diagnostics;
	for (size_t i = 0; i < processes && c.out != Out::Merged; i++)
		diagnostics += c.err;
	check(run.err == diagnostics, "standard error was:\n" + run.err);
	if (c.out == Out::Pipe || c.out == Out::Merged || c.out == Out::File ||
	    c.out == Out::Terminal)
		checkOutput(run, c);
	return run;
}

// Each process's CPU time must be close to the reference tree's, run as two processes side
// by side like the program's: on a machine whose two processors share a core, each copy
// runs slower. The measurements are printed for tests/bench.sh.
void
checkWorkload(const std::vector<std::string> &program)
{
	if (program.size() > 1)
		skip("CPU time under an emulator says nothing of a native run");
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
		double ratio = cpuSeconds(q.usage) / reference;
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

// Runs a tool, which must succeed.
std::string
tool(const std::vector<std::string> &args)
{
	Run run = spawn(args);
	check(run.parent.status == 0, args[0] + " " + ended(run.parent.status) + ":\n" + run.err);
	return run.out;
}

// How the target's disassembly spells a call, a jump or branch, and main's passing of the
// depth 29, as GNU and LLVM objdump print them.
struct InstructionSet {
	// cppcheck-suppress unusedStructMember
	const char *processor, *call, *jump, *passDepth;
};
const InstructionSet instructionSets[] = {
    {"x86_64", "call.*", "j.*", "mov[lq]? \\$(0x1d|29), ?%edi"},
    {"aarch64", "blr?", "b|b\\..*|br|cbn?z|tbn?z", "mov w0, #(0x1d|29)\\b.*"},
    {"arm", "blx?", "b(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le)?(\\.[nw])?|cbn?z",
     "movs?(\\.w)? r0, #(0x1d|29)\\b.*"},
    {"riscv64", "jalr?|call", "j.*|b[a-z]+", "li a0, ?(0x1d|29)"},
};

// The target's, which the calls case cannot check without.
const InstructionSet &
targetInstructionSet()
{
	const std::string processor = build::processor;
	const auto *isa =
	    std::find_if(std::begin(instructionSets), std::end(instructionSets),
	                 [&](const auto &i) { return processor.starts_with(i.processor); });
	if (isa == std::end(instructionSets))
		skip("the driver knows no instruction set for " + processor);
	return *isa;
}

// Every invocation must be a real call: the tree's function calls itself twice and nothing
// else, and jumps only forward within itself, so no call became a jump or a loop.
void
checkCalls(const std::vector<std::string> &program)
{
	const InstructionSet &isa = targetInstructionSet();
	static const std::regex header("[0-9a-f]+ <(.*)>:");
	static const std::regex instruction(" *([0-9a-f]+):\\s+(\\S+)\\s*(.*)");
	const std::regex call(isa.call);
	const std::regex jump(isa.jump);
	const std::regex passDepth(isa.passDepth);
	static const std::regex target("([0-9a-f]+) <");
	const std::string self = "<recursiveCall(int)>";

	// Only these two functions have their instructions kept: a static build has megabytes of
	// others.
	struct Instruction {
		unsigned long address;
		std::string mnemonic, operands;
	};
	std::map<std::string, std::vector<Instruction>> functions;
	std::vector<Instruction> *current = nullptr;
	int copies = 0; // of recursiveCall, specialised or not
	std::istringstream text(
	    tool({build::objdump, "-d", "-C", "--no-show-raw-insn", program.back()}));
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
			unsigned long to = std::regex_search(i.operands, m, target)
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

// The binary is hardened as distributions build their packages.
void
checkHardening(const std::vector<std::string> &program)
{
	if (!build::hardened)
		skip("the build's flags do not harden it; the presets' do");
	std::string headers = tool({build::objdump, "-p", "-T", program.back()});
	std::smatch m;
	unsigned long flags = 0;
	if (std::regex_search(headers, m, std::regex("FLAGS_1 +0x([0-9a-f]+)")))
		flags = std::stoul(m[1], nullptr, hex);
	check((flags & DF_1_PIE) != 0, "not a position-independent executable");
	check((flags & DF_1_NOW) != 0, "symbols are not bound at start, so RELRO is partial");
	check(std::regex_search(headers, std::regex("\n *RELRO ")), "no RELRO segment");
	check(std::regex_search(headers, std::regex("\n *STACK [^\n]*\n[^\n]*flags rw-")),
	      "the stack is executable");
	// glibc fortifies printf with an inline wrapper that needs __builtin_va_arg_pack,
	// which Clang lacks, so only a GCC build calls __printf_chk.
	check(std::string(build::compiler) != "GNU" ||
	          headers.find("__printf_chk") != std::string::npos,
	      "printf is not fortified (no __printf_chk)");
}

// `cmake --install` puts the program, its manual page and its licence under the prefix.
void
checkInstall(const std::vector<std::string> &program)
{
	std::filesystem::path build = std::filesystem::path(program.back()).parent_path();
	std::string prefix = build / "install-test";
	std::string source = build::source;
	std::filesystem::remove_all(prefix);
	tool({build::cmake, "--install", build, "--prefix", prefix});
	check(access((prefix + "/bin/program1").c_str(), X_OK) == 0, "no bin/program1");
	tool({"cmp", prefix + "/share/man/man1/program1.1", source + "/program1.1"});
	tool({"cmp", prefix + "/share/doc/program1/LICENSE", source + "/LICENSE"});
	std::filesystem::remove_all(prefix);
}

constexpr const char *fullDisk = "program1: write error: No space left on device\n";
constexpr const char *closedOut = "program1: write error: Bad file descriptor\n";
constexpr const char *hungUp = "program1: write error: Input/output error\n";
constexpr const char *noFork = "program1: fork: Resource temporarily unavailable\n";
constexpr int failed = W_EXITCODE(1, 0);
// tests/CMakeLists.txt adds a test for each name here.
constexpr Case cases[] = {
    {.name = "pipe"},
    {.name = "file", .out = Out::File},
    {.name = "terminal", .out = Out::Terminal},
    {.name = "arguments", .args = {"-h", "--", "x"}},
    {.name = "fork-fails", .out = Out::Merged, .forkFails = true, .status = failed, .err = noFork},
    {.name = "full-disk", .out = Out::Full, .status = failed, .err = fullDisk},
    {.name = "closed-stdout", .out = Out::Closed, .status = failed, .err = closedOut},
    {.name = "reader-gone", .out = Out::NoReader, .status = SIGPIPE},
    {.name = "terminal-gone", .out = Out::HungUpTerminal, .status = failed, .err = hungUp},
    {.name = "workload", .check = checkWorkload},
    {.name = "calls", .check = checkCalls},
    {.name = "hardening", .check = checkHardening},
    {.name = "install", .check = checkInstall},
};

} // namespace

int
main(int argc, char **argv)
{
	const Case *c = std::find_if(std::begin(cases), std::end(cases), [&](const Case &k) {
		return argc > 1 && strcmp(argv[1], k.name) == 0;
	});
	if (argc > 3 || c == std::end(cases)) {
		(void)fprintf(stderr, "usage: driver CASE [PROGRAM]\n");
		return 2;
	}
	std::vector<std::string> program;
	for (const char *const *word = build::emulator; *word != nullptr; word++)
		program.emplace_back(*word);
	program.emplace_back(argc == 3 ? argv[2] : build::program);
	if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0)
		skip(std::string("cannot reap the program's orphans: ") + strerror(errno));
	try {
		if (c->check != nullptr)
			c->check(program);
		else
			runProgram(program, *c);
	} catch (const std::exception &e) {
		failures.emplace_back(e.what());
	}
	for (const auto &f : failures)
		(void)fprintf(stderr, "%s: %s\n", c->name, f.c_str());
	return failures.empty() ? 0 : 1;
}
