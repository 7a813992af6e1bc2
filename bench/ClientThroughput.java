// The Java client's throughput against morvik: the mix of commands 6 and 10 through one child, one
// request per call and pipelined; then pools of 1, 2 and 4 children on command 1 with winsim's
// logon delay. Run by bench/clients beside bench/throughput and the Python client; it times, and
// checks every reply, but judges nothing.
//
//   java -cp build/clients-java/classes bench/ClientThroughput.java MORVIK MACHINE N POOL_REQUESTS DELAY_MACHINE
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.atomic.AtomicInteger;
import org.morvik.client.MorvikClient;
import org.morvik.client.MorvikPool;
import org.morvik.client.Request;
import org.morvik.client.ServerCommand;

public class ClientThroughput {
  static final int BATCH = 256;

  public static void main(String[] args) throws Exception {
    final String morvik = args[0];
    final int n = Integer.parseInt(args[2]);
    final int poolRequests = Integer.parseInt(args[3]);
    final ServerCommand demo = ServerCommand.of(morvik).withEnvironment("WINSIM_MACHINE", args[1])
        .withTimeout(Duration.ofSeconds(30));
    final ServerCommand slow = ServerCommand.of(morvik).withEnvironment("WINSIM_MACHINE", args[4])
        .withTimeout(Duration.ofSeconds(30));
    final Request ntfs = Request.of(6).param("filepath", "C:\\");
    final Request mapped = Request.of(10).param("filepath", "C:\\");

    try (MorvikClient c = MorvikClient.start(demo)) {
      // Warm up the JIT and the child on a tenth of the run, untimed.
      for (int i = 0; i < n / 10; ++i) c.request(i % 2 == 0 ? ntfs : mapped);
      long start = System.nanoTime();
      for (int i = 0; i < n; ++i) {
        final int expected = i % 2 == 0 ? 1 : 0;
        if (c.request(i % 2 == 0 ? ntfs : mapped).result() != expected) throw new AssertionError("reply " + i);
      }
      report("java one-per-call", n, System.nanoTime() - start);

      final List<Request> batch = new ArrayList<>();
      for (int i = 0; i < BATCH; ++i) batch.add(i % 2 == 0 ? ntfs : mapped);
      start = System.nanoTime();
      int done = 0;
      while (done < n) {
        final List<?> replies = c.pipeline(batch);
        if (replies.size() != BATCH) throw new AssertionError("batch");
        done += BATCH;
      }
      report("java pipelined", done, System.nanoTime() - start);
    }

    for (int size : new int[] {1, 2, 4}) {
      try (MorvikPool pool = MorvikPool.start(slow, size)) {
        pool.validate("alice", "Secret1!".toCharArray(), "CORP");
        final int threads = 8;
        final AtomicInteger left = new AtomicInteger(poolRequests);
        final ExecutorService executor = Executors.newFixedThreadPool(threads);
        final long start = System.nanoTime();
        final List<Future<?>> futures = new ArrayList<>();
        for (int t = 0; t < threads; ++t) {
          futures.add(executor.submit(() -> {
            while (left.getAndDecrement() > 0) pool.validate("alice", "Secret1!".toCharArray(), "CORP");
            return null;
          }));
        }
        for (Future<?> f : futures) f.get();
        report("java pool of " + size, poolRequests, System.nanoTime() - start);
        executor.shutdown();
      }
    }
  }

  static void report(String name, int requests, long nanos) {
    System.out.printf("%-22s %8d requests %9.3f s %11.0f req/s%n", name, requests, nanos / 1e9, requests / (nanos / 1e9));
  }
}
