// Tasks: every change goes queued -> running -> success (or error, or canceled) over the configured time and
// takes effect only when it succeeds. Objects a task works on are busy until it ends.
using System;
using System.Collections.Generic;
using System.Diagnostics;

namespace VcdSim
{
    class SimTask : Entity
    {
        public override Kind Kind { get { return Kind.Task; } }
        public string OperationName = "";
        public string Operation = "";
        // A snapshot of the owner reference, which must outlive an owner the task deletes.
        public string OwnerHref, OwnerName, OwnerType, OwnerUrn;
        public User User;
        public DateTime StartTime;
        public DateTime? EndTime;
        public string Status = "queued";
        public long RunAtMs, EndAtMs;
        public Action Apply;
        // Runs once the task has ended, whatever its outcome.
        public Action OnEnd;
        public bool WillFail;
        public SimError Error;
        public bool CancelRequested;
        public readonly List<Entity> Holds = new List<Entity>();

        public bool Finished
        {
            get { return Status == "success" || Status == "error" || Status == "canceled" || Status == "aborted"; }
        }
    }

    class TaskEngine
    {
        readonly Cloud cloud;
        readonly Faults faults;
        readonly Stopwatch clock = Stopwatch.StartNew();
        readonly List<SimTask> pending = new List<SimTask>();

        public TaskEngine(Cloud cloud, Faults faults)
        {
            this.cloud = cloud;
            this.faults = faults;
        }

        public int PendingCount { get { return pending.Count; } }

        // Starts a task on behalf of the session's user. Refuses with BUSY_ENTITY when one of the objects it
        // works on is held by a task that has not ended.
        public SimTask Start(Session s, Entity owner, string opName, string opText, Action apply, params Entity[] holds)
        {
            foreach (var h in holds)
                if (h != null && h.ActiveTask != null && !h.ActiveTask.Finished)
                    throw SimError.Busy(h.Name);
            int ms = faults.CurrentTaskMs;
            long now = clock.ElapsedMilliseconds;
            var t = new SimTask
            {
                Id = Cloud.RandomId(),
                Name = "task",
                Org = owner.Org ?? s.Org,
                OperationName = opName,
                Operation = opText,
                OwnerHref = Refs.Href(owner),
                OwnerName = owner.Name,
                OwnerType = Refs.MediaType(owner),
                OwnerUrn = Refs.Urn(owner),
                User = s.User,
                StartTime = DateTime.Now,
                RunAtMs = now + ms / 4,
                EndAtMs = now + ms,
                Apply = apply,
                WillFail = faults.TakeTaskFailure(),
            };
            foreach (var h in holds)
                if (h != null) { h.ActiveTask = t; t.Holds.Add(h); }
            cloud.Register(t);
            pending.Add(t);
            return t;
        }

        // Moves tasks along by the clock. Called under the cloud's gate before every request and by a timer.
        public void Tick()
        {
            if (pending.Count == 0) return;
            long now = clock.ElapsedMilliseconds;
            for (int i = 0; i < pending.Count; i++)
            {
                var t = pending[i];
                if (t.Status == "queued" && now >= t.RunAtMs) t.Status = "running";
                if (now >= t.EndAtMs) Finish(t);
            }
            pending.RemoveAll(t => t.Finished);
        }

        void Finish(SimTask t)
        {
            if (t.WillFail)
            {
                t.Error = new SimError(500, "INTERNAL_SERVER_ERROR",
                    "The operation " + t.OperationName + " failed on the server side.");
                t.Status = "error";
            }
            else
            {
                try
                {
                    if (t.Apply != null) t.Apply();
                    t.Status = "success";
                }
                catch (SimError e)
                {
                    t.Error = e;
                    t.Status = "error";
                }
            }
            End(t);
        }

        void End(SimTask t)
        {
            t.EndTime = DateTime.Now;
            foreach (var h in t.Holds)
                if (h.ActiveTask == t) h.ActiveTask = null;
            if (t.OnEnd != null) t.OnEnd();
            cloud.Changed();
        }

        public void Cancel(SimTask t)
        {
            if (t.Finished)
                throw SimError.Bad("The task " + t.Id + " has already completed and cannot be canceled.");
            t.CancelRequested = true;
            t.Status = "canceled";
            End(t);
            pending.Remove(t);
        }

        public int Progress(SimTask t)
        {
            if (t.Finished) return 100;
            if (t.Status == "queued") return 0;
            long span = Math.Max(1, t.EndAtMs - t.RunAtMs);
            long done = clock.ElapsedMilliseconds - t.RunAtMs;
            return (int)Math.Max(0, Math.Min(99, done * 100 / span));
        }
    }
}
