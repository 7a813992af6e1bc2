package org.morvik.client;

import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ArrayBlockingQueue;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * A fixed number of morvik children, safe to call from many threads at once: each request goes to
 * a free child, so that as many requests are served side by side as there are children. On
 * Windows commands 1, 2 and 5 spend most of their time waiting on the local security authority,
 * which serves several logons at once: that is what a pool buys.
 *
 * <p>A child that dies, times out or answers malformed bytes is replaced by a new one, and the
 * caller whose request it was serving gets the {@link MorvikException}; the pool carries on.
 *
 * <p>A share connection (command 3) belongs to the Windows logon session, not to the child that
 * made it: any child serves commands 3 and 9, and a {@link #disconnect} need not reach the child
 * that connected.
 */
public final class MorvikPool implements MorvikCommands, AutoCloseable {
  private final ServerCommand server;
  private final int size;
  private final Duration acquireTimeout;
  private final BlockingQueue<Slot> free;
  private final List<Slot> slots = new ArrayList<>();
  private final AtomicInteger replaced = new AtomicInteger();
  private volatile boolean closed;

  /** One child's place in the pool; its client is null while no child could be started for it. */
  private static final class Slot {
    volatile MorvikClient client;
  }

  private MorvikPool(ServerCommand server, int size, Duration acquireTimeout) {
    this.server = server;
    this.size = size;
    this.acquireTimeout = acquireTimeout;
    this.free = new ArrayBlockingQueue<>(size);
  }

  /**
   * Starts {@code size} children. A caller waits for a free child at most the server command's
   * timeout times the pool's size plus one: every child is bounded by the timeout, so a longer
   * wait means requests are arriving faster than the pool can serve them.
   */
  public static MorvikPool start(ServerCommand server, int size) throws MorvikException {
    return start(server, size, server.timeout().multipliedBy(size + 1L));
  }

  public static MorvikPool start(ServerCommand server, int size, Duration acquireTimeout) throws MorvikException {
    if (size < 1) throw new IllegalArgumentException("a pool needs one child at least");
    final MorvikPool pool = new MorvikPool(server, size, acquireTimeout);
    try {
      for (int i = 0; i < size; ++i) {
        final Slot slot = new Slot();
        slot.client = MorvikClient.start(server);
        pool.slots.add(slot);
        pool.free.add(slot);
      }
    } catch (MorvikException e) {
      pool.close();
      throw e;
    }
    return pool;
  }

  public int size() {
    return size;
  }

  /** How many children have been replaced since the pool started. */
  public int replacements() {
    return replaced.get();
  }

  /** The children's process ids, for monitoring (0 for a place whose child could not be restarted). */
  public synchronized List<Long> pids() {
    final List<Long> out = new ArrayList<>();
    for (Slot s : slots) {
      final MorvikClient c = s.client;
      out.add(c == null ? 0L : c.pid());
    }
    return out;
  }

  @Override
  public Reply request(Request request) throws MorvikException {
    final Slot slot = acquire(request);
    try {
      if (slot.client == null || !slot.client.isOpen()) replace(slot, null);
      if (slot.client == null) {
        request.discard();
        throw new MorvikException("no child could be started for the request (" + server + ")");
      }
      try {
        return slot.client.request(request);
      } catch (MorvikException e) {
        // A reply that did not fit its command leaves the child serving; anything else ended it.
        if (slot.client.isOpen()) throw e;
        final MorvikException told = new MorvikException("the child serving this request failed and was replaced: "
            + e.getMessage(), e);
        replace(slot, told);
        throw told;
      }
    } finally {
      release(slot);
    }
  }

  /** Ends every child; requests still running get a {@link MorvikException}. */
  @Override
  public void close() {
    closed = true;
    final List<Slot> all;
    synchronized (this) {
      all = new ArrayList<>(slots);
    }
    for (Slot s : all) {
      final MorvikClient c = s.client;
      if (c != null) c.close();
    }
  }

  @Override
  public String toString() {
    return "MorvikPool(" + server + ", " + size + " children" + (closed ? ", closed" : "") + ")";
  }

  private Slot acquire(Request request) throws MorvikException {
    if (closed) {
      request.discard();
      throw new MorvikException("the pool is closed");
    }
    final Slot slot;
    try {
      slot = free.poll(acquireTimeout.toMillis(), TimeUnit.MILLISECONDS);
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
      request.discard();
      throw new MorvikException("interrupted while waiting for a free child");
    }
    if (slot == null) {
      request.discard();
      throw new MorvikException("no child was free within " + acquireTimeout.toMillis() + " ms");
    }
    if (closed) {
      free.add(slot);
      request.discard();
      throw new MorvikException("the pool is closed");
    }
    return slot;
  }

  private void release(Slot slot) {
    free.add(slot);
    // A close that ran meanwhile may have missed a child started after it looked.
    if (closed && slot.client != null) slot.client.close();
  }

  /** Puts a new child in the slot; a failure to start leaves it empty, to be tried at its next use. */
  private void replace(Slot slot, MorvikException cause) {
    synchronized (this) {
      if (slot.client != null) {
        slot.client.close();
        replaced.incrementAndGet();
      }
      slot.client = null;
    }
    if (closed) return;
    try {
      final MorvikClient fresh = MorvikClient.start(server);
      synchronized (this) {
        slot.client = fresh;
      }
    } catch (MorvikException e) {
      if (cause != null) cause.addSuppressed(e);
    }
  }
}
