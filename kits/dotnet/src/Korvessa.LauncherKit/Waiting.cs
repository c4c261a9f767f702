using System;
using System.Threading;
using System.Threading.Tasks;

namespace Korvessa.LauncherKit
{
    internal static class Waiting
    {
        // The task's result, or OperationCanceledException (with this token) once the token is
        // cancelled; the task itself goes on.
        public static async Task<T> WaitAsync<T>(Task<T> task, CancellationToken cancellationToken)
        {
#if NETSTANDARD2_0
            if (task.IsCompleted || !cancellationToken.CanBeCanceled)
            {
                return await task.ConfigureAwait(false);
            }
            var cancelled = new TaskCompletionSource<bool>(TaskCreationOptions.RunContinuationsAsynchronously);
            using (cancellationToken.Register(() => cancelled.TrySetResult(true)))
            {
                if (await Task.WhenAny(task, cancelled.Task).ConfigureAwait(false) != task)
                {
                    throw new OperationCanceledException(cancellationToken);
                }
            }
            return await task.ConfigureAwait(false);
#else
            return await task.WaitAsync(cancellationToken).ConfigureAwait(false);
#endif
        }
    }
}
