#include <sys/types.h>

#include <err.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

// The call tree computes nothing, so an optimiser would drop it, fold its tests into
// specialised copies, or turn the second self-call into a jump. noinline keeps each
// invocation a call; the first barrier hides the depth from constant propagation, and
// the second is work after the last call. Aligned to a cache line, the function's few
// instructions never straddle two, so its cost does not depend on where the linker puts it.
[[gnu::noinline, gnu::aligned(64)]] static void // NOLINT(readability-magic-numbers): a cache line
recursiveCall(int depth) // NOLINT(misc-no-recursion): the recursion is the workload
{
	asm("" : "+r"(depth));
	if (depth > 0) {
		recursiveCall(depth - 1);
		recursiveCall(depth - 1);
	}
	asm volatile("" ::: "memory");
}

int
main()
{
	const int depth = 29;

	// Both processes may report a failed write at the same moment: with stderr line
	// buffered, each report leaves in one write and the two cannot interleave. The buffer
	// is the program's own, as musl given none leaves stderr unbuffered, which writes a
	// report in pieces. Should this fail, stderr stays unbuffered, which still works.
	static char line[BUFSIZ];
	(void)setvbuf(stderr, line, _IOLBF, sizeof line);

	int status = 0;
	const pid_t before = getpid();
	const pid_t child = fork();
	if (child == -1) {
		warn("fork");
		status = 1;
	}
	const pid_t after = getpid();

	printf("Process id = %d Parent Id = %d \n", getpid(), getppid());
	const time_t start = time(nullptr);
	recursiveCall(depth);
	const time_t end = time(nullptr);
	if (before == after) {
		printf("Id of the child = %d \n", child);
		// time_t is long long on 32-bit ABIs with 64-bit time, and long elsewhere.
		printf("Total time of execution = %lld seconds \n",
		       static_cast<long long>(end - start));
	}

	// Into a pipe or a file the lines are still buffered here, and a failure to write
	// them at exit would go unseen: flush now, while it can still be reported.
	if (fflush(stdout) != 0 || ferror(stdout) != 0 || fclose(stdout) != 0) {
		warn("write error");
		status = 1;
	}
	return status;
}
