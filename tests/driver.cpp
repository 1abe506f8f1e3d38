// Runs the built program as a user would, one case of the table below per invocation:
//   driver CASE [EMULATOR...] PROGRAM, or driver calls OBJDUMP CALL JUMP END PASS-DEPTH PROGRAM
// where the regular expressions say how the disassembly spells a call, a jump, an instruction
// that control does not pass (with its operands) and main's passing of the depth 29;
// driver --list names the cases, one a line, which is how the suite learns them.
// A case runs the program as a shell runs a job, its stdout and stderr each into a pipe, a file,
// a live terminal, /dev/full, a pipe or terminal whose reader is gone, or closed; it may make fork
// or close fail, stop or interrupt the job inside its workload, or check there what each process
// was handed. The driver is its processes' subreaper, so the child that the program never waits
// for is reparented here and its exit status and CPU time can be read. Each process must end as
// the case says, write exactly its lines and report each error in one write with the C library's
// reason. A case that the machine cannot run prints "skipped: " and why, and exits 77.
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
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <span>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

// The smallest real call tree of the program's shape, against which the workload is measured,
// aligned as it is so that neither straddles two cache lines. Null where the driver knows none.
extern "C" [[gnu::weak]] void referenceTree(int depth);
#define REFERENCE_TREE(body)                                                                       \
	asm(".text; .weak referenceTree; .type referenceTree, %function; .p2align 6\n"             \
	    "referenceTree: " body "\n.size referenceTree, .-referenceTree")
#ifdef __x86_64__
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
const char *const workload = "<recursiveCall(int)>"; // as objdump names a call's target
const int hex = 16;
const int skipped = 77;
const int couldNotRun = 127;
// At most, before the program reads the clock; under qemu-user a start alone costs 0.02-0.08 s.
const double startupCpu = 0.02;
const double emulatedStartupCpu = 0.25;
const int failed = 1 << 8; // the wait status of an exit with 1

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

// Where the command's stdout or stderr goes, read by the driver up to Terminal.
enum class Out { Pipe, File, Terminal, Full, Closed, NoReader, HungUpTerminal };
// Which system calls fail: those that make a process, or the close of standard output.
enum class Fail { None, Fork, Close };

// The cases: a check of its own, or a run of the program and how each of its processes ends.
struct Case {
	const char *name = nullptr;
	void (*check)(const std::vector<std::string> &program) = nullptr;
	Out out = Out::Pipe;
	Out err = Out::Pipe;
	Fail fail = Fail::None;
	bool handedOn = false; // inside the workload, checks what each process was given
	int signal = -1;       // sent to the process group inside the workload; 0 only looks
	int ignored = 0;       // a signal that the program is started ignoring
	int status = 0;        // wait status of each process
	int error = 0;         // which each process reports, exiting 1
	std::array<const char *, 3> args{};
	bool nativeOnly = false; // its outcome is the same on every processor: not emulated
};

struct Process {
	pid_t pid = -1;
	int status = -1;
	rusage usage{};
};

struct Run {
	std::string out, err;
	std::string early;                 // standard error as it stood inside the workload
	std::vector<std::string> errReads; // each one write of the command's
	Process parent;
	std::vector<Process> orphans; // the parent's child and any other, reaped here
	double seconds = 0;           // from the start until the parent ended
	std::vector<double> arrivals; // on a terminal, when each line arrived after the start
	double cpuAtSignal = 0;       // the parent's, when the case's signal was sent
	double paused = 0;            // how long it stood stopped
	int outFlags = 0;             // the status flags of stdout's file description, at the start
};

std::string
ended(int status)
{
	return WIFSIGNALED(status) ? std::string("was killed: ") + strsignal(WTERMSIG(status))
	                           : "exited " + std::to_string(WEXITSTATUS(status));
}

// What the descriptor holds, from its start if it is a file; each read too, if asked.
std::string
drain(int fd, std::vector<std::string> *reads = nullptr)
{
	std::string text;
	char buf[BUFSIZ];
	(void)lseek(fd, 0, SEEK_SET);
	for (ssize_t n = 0; (n = read(fd, buf, sizeof buf)) > 0;) {
		text.append(buf, static_cast<size_t>(n));
		if (reads != nullptr)
			reads->emplace_back(buf, static_cast<size_t>(n));
	}
	return text;
}

double
cpuSeconds(const rusage &u)
{
	const double perSecond = 1e6;
	return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
	       (static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / perSecond);
}

// A running process's CPU time so far; -1 once it has ended.
double
cpuSoFar(pid_t pid)
{
	siginfo_t exit{};
	clockid_t clock{};
	timespec t{};
	const double perSecond = 1e9;
	if (waitid(P_PID, static_cast<id_t>(pid), &exit, WEXITED | WNOHANG | WNOWAIT) != 0 ||
	    exit.si_pid != 0 || clock_getcpuclockid(pid, &clock) != 0 ||
	    clock_gettime(clock, &t) != 0)
		return -1;
	return static_cast<double>(t.tv_sec) + (static_cast<double>(t.tv_nsec) / perSecond);
}

double
since(std::chrono::steady_clock::time_point then)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - then).count();
}

// Fails a system call whose first argument, masked, has the value, as a full process table
// would fail fork, or a file system that reports a lost write at close, close.
struct Rule {
	// Read through linux/filter.h's macros, which cppcheck does not expand.
	// cppcheck-suppress unusedStructMember
	unsigned call, mask, value, error;
};
// Threads are still made, as an emulator needs one: clone3, whose flags a filter cannot read,
// fails as unknown, so that the C library falls back to clone.
constexpr Rule forkFails[] = {{SYS_clone3, 0, 0, ENOSYS},
                              {SYS_fork, 0, 0, EAGAIN},
                              {SYS_vfork, 0, 0, EAGAIN},
                              {SYS_clone, CLONE_THREAD, 0, EAGAIN}};
constexpr Rule closeFails[] = {{SYS_close, ~0U, 1, EIO}};

bool
failCalls(std::span<const Rule> rules)
{
	std::vector<sock_filter> filter = {
	    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
	    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nativeArch, 1, 0),
	    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	};
	for (const auto &r : rules)
		filter.insert(filter.end(),
		              {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
		               BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, r.call, 0, 4),
		               BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
		               BPF_STMT(BPF_ALU | BPF_AND | BPF_K, r.mask),
		               BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, r.value, 0, 1),
		               BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | r.error)});
	filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	sock_fprog prog{static_cast<unsigned short>(filter.size()), filter.data()};
	return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
	       prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// In the child: runs the command as a shell runs a job, in a process group of its own, with
// stdout and stderr on those descriptors (closed where below 0), or exits 127. What the driver
// could not set up it tells through the close-on-exec pipe: the skip is never the command's.
[[noreturn]] void
execute(const std::vector<std::string> &args, int stdOut, int stdErr, const Case &c, int setUp)
{
	(void)setpgid(0, 0);
	if (c.ignored != 0)
		(void)signal(c.ignored, SIG_IGN);
	(void)(stdOut < 0 ? close(1) : dup2(stdOut, 1));
	(void)(stdErr < 0 ? close(2) : dup2(stdErr, 2));
	std::vector<char *> argv(args.size() + 1); // and a null pointer to end it
	std::transform(args.begin(), args.end(), argv.begin(),
	               [](const std::string &arg) { return const_cast<char *>(arg.c_str()); });
	if (c.fail != Fail::None &&
	    !failCalls(c.fail == Fail::Fork ? std::span<const Rule>(forkFails) : closeFails)) {
		(void)dprintf(setUp, "cannot make system calls fail: %s", strerror(errno));
		_exit(couldNotRun);
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

// Where a stream goes: the side the driver reads (-1 if none) and the command's side. A pipe holds
// far more than the program writes, and each read of it returns one write; a file is a real unnamed
// one in $TMPDIR or /tmp, like a shell's (two processes that write one memfd at once can overwrite
// each other); a terminal is read while the command runs. No reader, as when it has gone; a
// terminal's, as when its window was closed.
std::array<int, 2>
output(Out out)
{
	std::array<int, 2> ends = {-1, -1};
	if ((out == Out::Pipe || out == Out::NoReader) &&
	    (pipe2(ends.data(), O_CLOEXEC | O_DIRECT) != 0 ||
	     fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0))
		ends[1] = -1;
	else if (out == Out::File) {
		const char *dir = getenv("TMPDIR");
		dir = dir != nullptr && *dir != '\0' ? dir : "/tmp";
		ends[0] = ends[1] = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
		if (ends[1] < 0 && (errno == EOPNOTSUPP || errno == EISDIR))
			skip(std::string(dir) + " cannot hold an unnamed file: " + strerror(errno));
	} else if (out == Out::Full)
		ends[1] = open("/dev/full", O_WRONLY | O_CLOEXEC);
	else if (out == Out::Terminal || out == Out::HungUpTerminal)
		ends = terminal();
	if (out != Out::Closed && ends[1] < 0)
		throw std::system_error(errno, std::generic_category(), "cannot set up the run");
	if (out == Out::NoReader || out == Out::HungUpTerminal)
		close(std::exchange(ends[0], -1));
	return ends;
}

// What /proc says of a process: the lines of its status that the expression matches and, if
// asked, how it is scheduled, the fields nice, real-time priority and policy of its stat.
std::string
proc(const std::string &pid, const std::regex &lines, bool scheduling = false)
{
	std::ifstream status("/proc/" + pid + "/status");
	std::string text;
	for (std::string line; std::getline(status, line);)
		text += std::regex_search(line, lines) ? line + "\n" : "";
	if (!scheduling)
		return text;
	std::ifstream stat("/proc/" + pid + "/stat");
	std::string field;
	std::getline(stat, field, ')'); // up to the command's name's end; field 3 follows
	const std::array<int, 3> fields = {19, 40, 41};
	text += "nice, real-time priority, policy:";
	for (int i = 3; i <= fields.back() && stat >> field; i++)
		text += std::ranges::find(fields, i) != fields.end() ? " " + field : "";
	return text + "\n";
}

// Settings that a caller may have chosen, and that differ from the defaults, so that a program
// that resets them shows: a lower priority, SIGHUP ignored as nohup leaves it, and, where the
// driver has two or more processors, not the one it runs on. The program inherits them.
void
chooseSettings()
{
	cpu_set_t cpus{};
	const int lower = 3;
	if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) < 2)
		(void)printf("not checked: a narrowed CPU set, as the driver has one CPU\n");
	CPU_CLR(sched_getcpu(), &cpus);
	errno = 0;
	if ((CPU_COUNT(&cpus) > 0 && sched_setaffinity(0, sizeof cpus, &cpus) != 0) ||
	    (nice(lower) == -1 && errno != 0) || signal(SIGHUP, SIG_IGN) == SIG_ERR)
		throw std::system_error(errno, std::generic_category(), "cannot choose settings");
}

// Inside the workload, each process must still have what the driver chose and gave it: where and
// at what priority it runs, which signals it ignores, blocks and catches (none), and stdout's file
// status flags, which the driver's descriptor shares. A "nicer" child, say, would hide from the
// parent's time line the competition that it is meant to show.
void
checkHandedOn(const Run &run, int out)
{
	static const std::regex given("^(SigIgn|SigBlk|SigCgt|Cpus_allowed_list):");
	const std::regex child("^PPid:\\s+" + std::to_string(run.parent.pid) + "$");
	const std::string mine = proc("self", given, true);
	std::string seen = proc(std::to_string(run.parent.pid), given, true);
	std::string expected = mine;
	for (const auto &entry : std::filesystem::directory_iterator("/proc"))
		if (!proc(entry.path().filename(), child).empty()) {
			seen += proc(entry.path().filename(), given, true);
			expected += mine;
		}
	check(expected.size() == 2 * mine.size(), "inside the workload, the parent has no child");
	check(seen == expected, "inside the workload, the processes had\n" + seen +
	                            "where they were each given\n" + mine);
	check(fcntl(out, F_GETFL) == run.outFlags, "stdout's file status flags changed");
}

// Once the parent has spent 0.2 s of CPU, and so is inside its workload: takes what standard
// error holds by then, checks what the processes were handed if the case says so, and signals the
// process group as a terminal's Ctrl-C does, or stops it as Ctrl-Z does (with SIGSTOP, which cannot
// be ignored) and continues it 2.5 s later.
void
midRun(Run &run, const Case &c, int err, const std::array<int, 2> &out)
{
	if (c.signal < 0 && !c.handedOn)
		return;
	using namespace std::chrono_literals;
	const double inside = 0.2;
	const pid_t pid = run.parent.pid;
	while ((run.cpuAtSignal = cpuSoFar(pid)) >= 0 && run.cpuAtSignal < inside)
		std::this_thread::sleep_for(5ms);
	check(run.cpuAtSignal >= 0, "the parent ended before it spent 0.2 s of CPU");
	run.early = drain(err, &run.errReads);
	if (run.cpuAtSignal >= 0 && c.handedOn)
		checkHandedOn(run, out[0]);
	if (run.cpuAtSignal < 0 || c.signal <= 0)
		return;
	(void)kill(-pid, c.signal);
	if (c.signal == SIGSTOP) {
		(void)waitpid(pid, nullptr, WUNTRACED);
		run.cpuAtSignal = cpuSoFar(pid);
		const auto stopped = std::chrono::steady_clock::now();
		std::this_thread::sleep_for(2500ms);
		run.paused = since(stopped);
		(void)kill(-pid, SIGCONT);
	}
}

// Runs a command to its end, and its orphans too.
Run
spawn(const std::vector<std::string> &args, const Case &c)
{
	const auto ends = output(c.out); // what the driver reads, what the command writes
	const auto err = output(c.err);
	Run run;
	run.outFlags = fcntl(ends[0], F_GETFL);
	std::array<int, 2> setUp{};
	if (pipe2(setUp.data(), O_CLOEXEC) != 0)
		throw std::system_error(errno, std::generic_category(), "cannot set up the run");
	const auto start = std::chrono::steady_clock::now();
	run.parent.pid = fork();
	if (run.parent.pid == 0)
		execute(args, ends[1], err[1], c, setUp[1]);
	close(setUp[1]);
	if (const std::string why = drain(setUp[0]); close(setUp[0]) == 0 && !why.empty())
		skip(why);
	close(err[1]);
	if (c.out != Out::File)
		close(ends[1]);
	midRun(run, c, err[0], ends);
	// Reading fails once every process has closed the terminal.
	char buf[BUFSIZ];
	for (ssize_t n = 0; c.out == Out::Terminal && (n = read(ends[0], buf, sizeof buf)) > 0;) {
		run.out.append(buf, static_cast<size_t>(n));
		run.arrivals.resize(
		    static_cast<size_t>(std::count(run.out.begin(), run.out.end(), '\n')),
		    since(start));
	}

	wait4(run.parent.pid, &run.parent.status, 0, &run.parent.usage);
	run.seconds = since(start);
	Process orphan;
	while ((orphan.pid = wait4(-1, &orphan.status, 0, &orphan.usage)) > 0)
		run.orphans.push_back(orphan);
	if (c.out <= Out::Terminal)
		run.out += drain(ends[0]);
	run.err = run.early + drain(err[0], &run.errReads);
	return run;
}

// The output must be exactly the parent's three lines and the child's one, but for the seconds,
// each process's in its own order: the child's line before, between or after the parent's.
// On a terminal each line leaves as it is written: both identity lines at once, the parent's
// other two when its workload ends.
void
checkOutput(const Run &run, const Case &c, double startup)
{
	const bool forked = c.fail != Fail::Fork;
	const pid_t child = forked && !run.orphans.empty() ? run.orphans[0].pid : -1;
	auto identity = [](pid_t pid, pid_t ppid) {
		return "Process id = " + std::to_string(pid) +
		       " Parent Id = " + std::to_string(ppid) + " \n";
	};
	const std::string childLine = forked ? identity(child, run.parent.pid) : "";
	const std::string parentLines = identity(run.parent.pid, getpid()) +
	                                "Id of the child = " + std::to_string(child) +
	                                " \nTotal time of execution = N seconds \n";

	static const std::regex seconds("Total time of execution = (-?[0-9]+) seconds");
	std::smatch m;
	std::regex_search(run.out, m, seconds);
	std::string masked =
	    std::regex_replace(run.out, seconds, "Total time of execution = N seconds");
	// Each line's end shown as $, as cat -A shows it, so that a missing blank shows.
	auto visible = [](const std::string &text) {
		return std::regex_replace(text, std::regex("\n"), "$$\n");
	};
	// The child's line stands first or after one of the parent's: on a terminal, the first.
	const size_t at = masked.find(childLine);
	const size_t latest = c.out == Out::Terminal ? parentLines.find('\n') + 1 : masked.size();
	std::string rest = masked;
	rest.erase(std::min(at, rest.size()), childLine.size());
	if (at > latest || (at > 0 && masked[at - 1] != '\n') || rest != parentLines) {
		check(false, "expected\n" + visible(childLine + parentLines) +
		                 "in an order the case allows, but the output was\n" +
		                 visible(run.out));
		return;
	}
	// Two readings truncated to whole seconds give the whole part of the run between them, or
	// one more. That run lasted no longer than the parent as seen from here, and no shorter
	// than the CPU time it spent, less what starting took, plus any time it stood stopped.
	const long elapsed = std::stol(m[1]);
	auto low = static_cast<long>(cpuSeconds(run.parent.usage) - startup + run.paused);
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
	if (c.fail != Fail::None && nativeArch == 0)
		skip("the driver knows no system calls of this machine to make fail");
	if (c.handedOn)
		chooseSettings();
	std::vector<std::string> command = program;
	command.insert(command.end(), c.args.begin(), std::ranges::find(c.args, nullptr));
	Run run = spawn(command, c);
	const size_t processes = c.fail == Fail::Fork ? 1 : 2;
	const int status = c.error != 0 ? failed : c.status;
	check(run.orphans.size() + 1 == processes, "expected " + std::to_string(processes) +
	                                               " processes, saw " +
	                                               std::to_string(run.orphans.size() + 1));
	for (const auto &p : run.orphans)
		check(p.status == status, "the child " + ended(p.status));
	check(run.parent.status == status, "the parent " + ended(run.parent.status));

	// Each process's report, with the C library's text for the error; musl spells EIO its own
	// way. Each leaves in one write, so that two processes' reports cannot interleave.
	const char *what = c.fail == Fail::Fork ? "program1: fork: " : "program1: write error: ";
	auto reports = [&](const std::string &reason) {
		std::string text;
		for (size_t i = 0; i < processes && c.error != 0; i++)
			text += what + reason + "\n";
		return text;
	};
	check(run.err == reports(strerror(c.error)) ||
	          (c.error == EIO && run.err == reports("I/O error")),
	      "standard error was:\n" + run.err);
	for (const auto &r : run.errReads)
		check(r.find('\n') == r.size() - 1,
		      "a write to standard error was not one line: " + r);
	if (c.fail == Fail::Fork)
		check(run.early == run.err, "the failed fork was not reported before the workload");

	const double afterSignal = cpuSeconds(run.parent.usage) - run.cpuAtSignal;
	if (c.signal == SIGSTOP)
		check(afterSignal > startupCpu, "the parent was stopped after its workload");
	const double atOnce = 0.1;
	if (c.signal == SIGINT)
		check(afterSignal < atOnce, "the parent ran on for " + std::to_string(afterSignal) +
		                                " s of CPU after SIGINT");
	// A killed run writes no result; musl lets a stream's first line out at once.
	static const std::regex identities("(Process id = [0-9]+ Parent Id = [0-9]+ \n)*");
	if (WIFSIGNALED(c.status))
		check(std::regex_match(run.out, identities), "a killed run wrote\n" + run.out);
	else if (c.out <= Out::Terminal)
		checkOutput(run, c, program.size() > 1 ? emulatedStartupCpu : startupCpu);
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

// An instruction as objdump shows it, and the address that its operands name, if any.
struct Instruction {
	unsigned long address = 0, to = 0;
	std::string mnemonic, operands;
};

// A compiler may give two paths through main a call each, but no path may make two: from main's
// start, its jumps and fall-throughs are followed, and on no path may a call follow another.
void
checkMain(const std::vector<Instruction> &code, const std::vector<std::regex> &spelling)
{
	const auto &[call, jump, end, passDepth] =
	    std::tie(spelling[0], spelling[1], spelling[2], spelling[3]);
	auto spelled = [](const Instruction &i) { return i.mnemonic + " " + i.operands; };
	bool depthSet = false;
	bool called = false;
	std::vector<std::array<bool, 2>> seen(code.size()); // reached without, and after, a call
	for (std::vector<std::pair<size_t, bool>> next = {{0, false}}; !next.empty();) {
		auto [k, after] = next.back();
		next.pop_back();
		if (k >= code.size() || std::exchange(seen[k][after ? 1 : 0], true))
			continue;
		const Instruction &i = code[k];
		const bool site = i.operands.find(workload) != std::string::npos;
		check(!site || !after, "main can call recursiveCall twice in one run");
		called = called || site;
		after = after || site;
		depthSet = depthSet || std::regex_match(spelled(i), passDepth);
		if (!std::regex_match(i.mnemonic, call) && std::regex_match(i.mnemonic, jump))
			next.emplace_back(std::ranges::find(code, i.to, &Instruction::address) -
			                      code.begin(),
			                  after);
		if (!std::regex_match(spelled(i), end))
			next.emplace_back(k + 1, after);
	}
	check(called, "main does not call recursiveCall");
	check(depthSet, "main does not pass the depth 29");
}

// Every invocation must be a real call: the tree's function calls itself twice and nothing
// else, and jumps only forward within itself, so no call became a jump or a loop.
void
checkCalls(const std::vector<std::string> &args)
{
	static const std::regex header("[0-9a-f]+ <(.*)>:");
	static const std::regex instruction(" *([0-9a-f]+):\\s+(\\S+)\\s*(.*)");
	static const std::regex target("([0-9a-f]+) <");
	const std::vector<std::regex> spelling(args.begin() + 1,
	                                       args.end() - 1); // call, jump, end, 29

	// Only these two functions are kept: a static build has megabytes of others.
	std::map<std::string, std::vector<Instruction>> functions;
	std::vector<Instruction> *current = nullptr;
	int copies = 0; // of recursiveCall, specialised or not
	const Run dump = spawn({args[0], "-d", "-C", "--no-show-raw-insn", args.back()},
	                       {.name = "objdump", .out = Out::File});
	check(dump.parent.status == 0, "objdump " + ended(dump.parent.status) + ":\n" + dump.err);
	std::istringstream text(dump.out);
	std::smatch m;
	for (std::string line; std::getline(text, line);)
		if (line.ends_with(">:") && std::regex_match(line, m, header)) {
			copies += m[1].str().starts_with("recursiveCall") ? 1 : 0;
			current = m[1] == "main" || m[1] == "recursiveCall(int)" ? &functions[m[1]]
			                                                         : nullptr;
		} else if (current != nullptr && std::regex_match(line, m, instruction)) {
			current->push_back({std::stoul(m[1], nullptr, hex), 0, m[2], m[3]});
			if (std::regex_search(current->back().operands, m, target))
				current->back().to = std::stoul(m[1], nullptr, hex);
		}
	check(copies == 1, "recursiveCall is missing or has specialised copies");

	const auto &body = functions["recursiveCall(int)"];
	int selfCalls = 0;
	for (const auto &i : body)
		if (std::regex_match(i.mnemonic, spelling[0])) {
			selfCalls++;
			check(i.operands.find(workload) != std::string::npos,
			      "recursiveCall calls " + i.operands);
		} else if (std::regex_match(i.mnemonic, spelling[1]))
			check(i.to > i.address && i.to <= body.back().address,
			      "recursiveCall jumps back or away: " + i.mnemonic + " " + i.operands);
	check(selfCalls == 2, "recursiveCall makes " + std::to_string(selfCalls) + " calls");
	checkMain(functions["main"], spelling);
}

constexpr Case cases[] = {
    {.name = "pipe"},
    {.name = "file", .out = Out::File, .handedOn = true, .nativeOnly = true},
    {.name = "terminal", .out = Out::Terminal, .nativeOnly = true},
    {.name = "arguments", .args = {"-h", "--", "x"}, .nativeOnly = true},
    {.name = "suspended", .signal = SIGSTOP, .nativeOnly = true},
    {.name = "interrupted", .signal = SIGINT, .status = SIGINT},
    {.name = "fork-fails", .fail = Fail::Fork, .signal = 0, .error = EAGAIN},
    {.name = "full-disk", .out = Out::Full, .error = ENOSPC},
    {.name = "closed-stdout", .out = Out::Closed, .error = EBADF, .nativeOnly = true},
    {.name = "closed-stderr", .out = Out::File, .err = Out::Closed, .nativeOnly = true},
    {.name = "full-stderr", .out = Out::File, .err = Out::Full, .nativeOnly = true},
    {.name = "close-fails", .fail = Fail::Close, .error = EIO},
    {.name = "reader-gone", .out = Out::NoReader, .status = SIGPIPE},
    {.name = "sigpipe-ignored", .out = Out::NoReader, .ignored = SIGPIPE, .error = EPIPE},
    {.name = "terminal-gone", .out = Out::HungUpTerminal, .error = EIO, .nativeOnly = true},
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
	const bool list = argc == 2 && strcmp(argv[1], "--list") == 0;
	if (c == std::end(cases)) { // names the cases, one a line
		if (!list)
			(void)fprintf(stderr, "usage: driver CASE [EMULATOR...] PROGRAM\n");
		for (const Case &k : cases)
			(void)printf("%s\n", k.name);
		return list ? 0 : 2;
	}
	// What the driver hands on is known whatever started it, from a background job or under
	// nohup, say, which leave signals ignored or blocked that the cases rely on.
	sigset_t none;
	sigemptyset(&none);
	(void)sigprocmask(SIG_SETMASK, &none, nullptr);
	for (int s = 1; s < NSIG; s++)
		(void)signal(s, SIG_DFL);
	const std::vector<std::string> program(argv + 2, argv + argc);
	if (c->nativeOnly && program.size() > 1)
		skip("what it tests is the same on every processor; the native suite runs it");
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
