package org.morvik.client;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.Executors;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.ScheduledFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.ReentrantLock;

/**
 * One morvik server, started as a child process, and the protocol over its standard streams.
 * Requests are served one at a time; calls from several threads wait for each other (use a
 * {@link MorvikPool} to have several served at once). Every wait is bounded by the server
 * command's timeout: a server that takes longer, or answers with anything but a well-formed reply,
 * is stopped, and this client with it.
 */
public final class MorvikClient implements MorvikCommands, AutoCloseable {
  /** How long {@link #close} lets the server end on its own before it is killed. */
  private static final long CLOSE_GRACE_MS = 2000;
  private static final int STDERR_KEPT = 2048;
  private static final long STDERR_WAIT_MS = 500;
  private static final long EXIT_WAIT_MS = 100;

  /** Stops servers whose request write is stuck; daemon, so that it never keeps a JVM alive. */
  private static final ScheduledExecutorService WATCHDOG = Executors.newSingleThreadScheduledExecutor(r -> {
    final Thread t = new Thread(r, "morvik-watchdog");
    t.setDaemon(true);
    return t;
  });

  /** What the reader thread hands over: a reply, or why there will be no more. */
  private record Ended(String why) {}

  private final ServerCommand server;
  private final Process process;
  private final OutputStream toServer;
  private final BlockingQueue<Object> replies = new LinkedBlockingQueue<>();
  private final ByteArrayOutputStream stderrTail = new ByteArrayOutputStream();
  private final Thread stderrReader;
  private final ReentrantLock lock = new ReentrantLock();  // one exchange at a time
  private volatile String broken;  // why this client serves no more; null while it does
  private volatile boolean timedOut;
  private volatile boolean closing;  // closed from another thread while a request ran

  private MorvikClient(ServerCommand server, Process process) {
    this.server = server;
    this.process = process;
    this.toServer = process.getOutputStream();
    daemon("morvik-reader-" + process.pid(), this::readReplies);
    this.stderrReader = daemon("morvik-stderr-" + process.pid(), this::keepStderrTail);
  }

  /** Starts the server; a program that cannot be run is a {@link MorvikException}. */
  public static MorvikClient start(ServerCommand server) throws MorvikException {
    final ProcessBuilder builder = new ProcessBuilder(server.command());
    builder.environment().putAll(server.environment());
    try {
      return new MorvikClient(server, builder.start());
    } catch (IOException e) {
      throw new MorvikException("could not start the server " + server + ": " + e.getMessage(), e);
    }
  }

  public ServerCommand server() {
    return server;
  }

  /** The server's process id. */
  public long pid() {
    return process.pid();
  }

  /** Whether the server still serves: false once closed, stopped, or after a reply went wrong. */
  public boolean isOpen() {
    return broken == null;
  }

  @Override
  public Reply request(Request request) throws MorvikException {
    lock.lock();
    try {
      if (broken != null) {
        request.discard();
        throw new MorvikException("the server no longer serves: " + broken);
      }
      final long timeoutMs = server.timeout().toMillis();
      final byte[] bytes = request.encode();
      try {
        send(bytes, timeoutMs);
      } finally {
        Arrays.fill(bytes, (byte) 0);
      }
      return receive(timeoutMs);
    } finally {
      lock.unlock();
    }
  }

  /**
   * Sends all requests before reading any reply and returns the replies in request order: one
   * write for the batch, so the server reads them in one go. Each reply may take the timeout.
   */
  public List<Reply> pipeline(List<Request> requests) throws MorvikException {
    lock.lock();
    try {
      return pipelineLocked(requests);
    } finally {
      lock.unlock();
    }
  }

  private List<Reply> pipelineLocked(List<Request> requests) throws MorvikException {
    if (broken != null) {
      requests.forEach(Request::discard);
      throw new MorvikException("the server no longer serves: " + broken);
    }
    if (replies.peek() != null) {
      requests.forEach(Request::discard);
      throw stop(replies.peek() instanceof Ended e ? e.why() : "the server sent a reply that no request asked for");
    }
    final List<byte[]> encoded = new ArrayList<>(requests.size());
    int total = 0;
    for (Request r : requests) {
      final byte[] bytes = r.encode();
      encoded.add(bytes);
      total += bytes.length;
    }
    final byte[] all = new byte[total];
    int at = 0;
    for (byte[] bytes : encoded) {
      System.arraycopy(bytes, 0, all, at, bytes.length);
      at += bytes.length;
      Arrays.fill(bytes, (byte) 0);
    }
    // The server writes replies while it reads the batch: the batch goes out on a thread of its
    // own, so that a large one cannot fill both pipes and stall both sides.
    final Thread writer = daemon("morvik-writer-" + process.pid(), () -> {
      try {
        toServer.write(all);
        toServer.flush();
      } catch (IOException e) {
        // The server stopped reading: the replies it did not send tell the caller.
      } finally {
        Arrays.fill(all, (byte) 0);
      }
    });
    final List<Reply> out = new ArrayList<>(requests.size());
    try {
      for (int i = 0; i < requests.size(); ++i) out.add(receive(server.timeout().toMillis()));
    } finally {
      try {
        writer.join(CLOSE_GRACE_MS);
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
      }
    }
    // Every reply is in, so the server has read every request: a write still blocked means it
    // answered what it never read.
    if (writer.isAlive()) throw stop("the server replied to requests it had not read");
    return out;
  }

  /**
   * Ends the server: end of input, then a kill if it has not exited within a bounded time. A
   * request still running on another thread is not waited for: the server is killed, and that
   * request ends with a {@link MorvikException}.
   */
  @Override
  public void close() {
    if (!lock.tryLock()) {
      closing = true;
      if (broken == null) broken = "the client is closed";
      process.destroyForcibly();
      return;
    }
    try {
      closeLocked();
    } finally {
      lock.unlock();
    }
  }

  private void closeLocked() {
    if (broken == null) broken = "the client is closed";
    try {
      toServer.close();
    } catch (IOException e) {
      // Already gone: the wait below settles it.
    }
    try {
      if (!process.waitFor(CLOSE_GRACE_MS, TimeUnit.MILLISECONDS)) {
        process.destroyForcibly();
        process.waitFor(CLOSE_GRACE_MS, TimeUnit.MILLISECONDS);
      }
    } catch (InterruptedException e) {
      process.destroyForcibly();
      Thread.currentThread().interrupt();
    }
  }

  @Override
  public String toString() {
    return "MorvikClient(" + server + ", pid " + process.pid() + (broken == null ? "" : ", closed") + ")";
  }

  private void send(byte[] bytes, long timeoutMs) throws MorvikException {
    final Object early = replies.peek();
    if (early != null) {
      throw stop(early instanceof Ended e ? e.why() : "the server sent a reply that no request asked for");
    }
    // A write blocks only when the server stops reading with its input pipe full; the watchdog
    // then stops it, which ends the write.
    final ScheduledFuture<?> watchdog = WATCHDOG.schedule(this::expire, timeoutMs, TimeUnit.MILLISECONDS);
    try {
      toServer.write(bytes);
      toServer.flush();
    } catch (IOException e) {
      throw stop(timedOut ? "the request could not be written within " + timeoutMs + " ms"
                          : "the server stopped reading its input (" + e.getMessage() + ")");
    } finally {
      watchdog.cancel(false);
    }
  }

  private Reply receive(long timeoutMs) throws MorvikException {
    final Object item;
    try {
      item = replies.poll(timeoutMs, TimeUnit.MILLISECONDS);
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
      throw stop("interrupted while waiting for a reply");
    }
    if (item == null) throw stop("no reply within " + timeoutMs + " ms");
    if (item instanceof Ended e) throw stop(e.why());
    final Reply reply = (Reply) item;
    if (reply.senderId() != Wire.SERVER_ID || reply.receiverId() != Wire.CLIENT_ID) {
      throw stop("malformed reply: sender " + reply.senderId() + " and receiver " + reply.receiverId()
          + " are not the request's swapped");
    }
    return reply;
  }

  private void expire() {
    timedOut = true;
    process.destroyForcibly();
  }

  /** Stops the server for good and says why, with its exit status and the end of its standard error. */
  private MorvikException stop(String why) {
    if (closing) why = "the client was closed while the request ran (" + why + ")";
    broken = why;
    String status = "";
    try {
      // A server that ended by itself has its own exit status to tell; one that did not is killed.
      if (process.waitFor(EXIT_WAIT_MS, TimeUnit.MILLISECONDS)) {
        status = "; exit status " + process.exitValue();
      } else {
        process.destroyForcibly();
        process.waitFor(CLOSE_GRACE_MS, TimeUnit.MILLISECONDS);
      }
      // What the server wrote last may still be on its way through the pipe; a child of the
      // server holding the pipe open must not hold this up for long.
      stderrReader.join(STDERR_WAIT_MS);
    } catch (InterruptedException e) {
      process.destroyForcibly();
      Thread.currentThread().interrupt();
    }
    String stderr;
    synchronized (stderrTail) {
      stderr = stderrTail.toString(StandardCharsets.UTF_8).strip();
    }
    if (!stderr.isEmpty()) status += "; standard error: " + stderr;
    return new MorvikException(why + " (" + server + status + "); the server was stopped");
  }

  /** The reader thread: one reply after another, until the stream ends or goes wrong. */
  private void readReplies() {
    try (InputStream in = process.getInputStream()) {
      final byte[] header = new byte[Wire.HEADER];
      for (;;) {
        final int got = readFully(in, header);
        if (got == 0) {
          replies.add(new Ended("the server exited"));
          return;
        }
        if (got < header.length) {
          replies.add(new Ended("the server stopped inside a reply header (" + got + " of 32 bytes)"));
          return;
        }
        final byte[] body;
        try {
          body = new byte[Wire.replyBodyLength(header)];
        } catch (MorvikException e) {
          replies.add(new Ended(e.getMessage()));
          return;
        }
        final int bodyGot = readFully(in, body);
        if (bodyGot < body.length) {
          replies.add(new Ended("the server stopped inside a reply body (" + bodyGot + " of " + body.length + " bytes)"));
          return;
        }
        try {
          replies.add(Wire.decodeReply(header, body));
        } catch (MorvikException e) {
          replies.add(new Ended(e.getMessage()));
          return;
        }
      }
    } catch (IOException e) {
      replies.add(new Ended("the server's output failed: " + e.getMessage()));
    }
  }

  private static int readFully(InputStream in, byte[] buffer) throws IOException {
    int done = 0;
    while (done < buffer.length) {
      final int n = in.read(buffer, done, buffer.length - done);
      if (n < 0) break;
      done += n;
    }
    return done;
  }

  /** Keeps the last bytes of the server's standard error for the messages above. */
  private void keepStderrTail() {
    try (InputStream err = process.getErrorStream()) {
      final byte[] buffer = new byte[1024];
      for (int n; (n = err.read(buffer)) > 0;) {
        synchronized (stderrTail) {
          stderrTail.write(buffer, 0, n);
          if (stderrTail.size() > STDERR_KEPT) {
            final byte[] all = stderrTail.toByteArray();
            stderrTail.reset();
            stderrTail.write(all, all.length - STDERR_KEPT, STDERR_KEPT);
          }
        }
      }
    } catch (IOException e) {
      // The server is gone; what it wrote so far is kept.
    }
  }

  private static Thread daemon(String name, Runnable body) {
    final Thread t = new Thread(body, name);
    t.setDaemon(true);
    t.start();
    return t;
  }
}
