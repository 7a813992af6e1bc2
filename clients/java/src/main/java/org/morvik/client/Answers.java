package org.morvik.client;

import java.util.List;
import java.util.Optional;

/**
 * What each command's reply means. A "no" is a result of 0 without a body, and only commands 5, 6,
 * 8 and 10 have one; a failure carries the error record. Anything else is not a reply that command
 * gives, so it is reported as such rather than guessed at.
 */
final class Answers {
  private Answers() {}

  static void done(int command, Reply reply) throws MorvikException, CommandFailedException {
    if (reply.result() == 1 && reply.rawStrings().isEmpty()) return;
    throw failure(command, reply);
  }

  static List<String> list(int command, Reply reply) throws MorvikException, CommandFailedException {
    if (reply.result() == 1) return reply.strings();
    throw failure(command, reply);
  }

  static boolean yesNo(int command, Reply reply) throws MorvikException, CommandFailedException {
    if (reply.rawStrings().isEmpty()) {
      if (reply.result() == 1) return true;
      if (reply.result() == 0) return false;
    }
    throw failure(command, reply);
  }

  static String one(int command, Reply reply) throws MorvikException, CommandFailedException {
    if (reply.result() == 1 && reply.rawStrings().size() == 1) return reply.strings().get(0);
    throw failure(command, reply);
  }

  static Optional<String> oneOrNone(int command, Reply reply) throws MorvikException, CommandFailedException {
    if (reply.result() == 0 && reply.rawStrings().isEmpty()) return Optional.empty();
    return Optional.of(one(command, reply));
  }

  /**
   * For a reply that is no success (nor, where the command has one, a "no"): throws the failure it
   * reports, or returns the exception for a reply the command never gives.
   */
  private static MorvikException failure(int command, Reply reply) throws CommandFailedException {
    final Optional<ErrorRecord> error = reply.error();
    if (error.isPresent()) throw new CommandFailedException(command, reply.result(), error.get());
    return new MorvikException("command " + command + " got a reply it does not give: result " + reply.result()
        + " with " + reply.rawStrings().size() + " strings");
  }
}
