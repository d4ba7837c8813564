"""A Python child process answering one JSON request per line: the other side of a benchmark
that runs in another interpreter (onnxruntime of another release, say)."""
import json
import os
import subprocess


class JsonChild:
    def __init__(self, argv, what):
        # the child runs without vekracore's sanitizer preload, which is for this interpreter only
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self.what = what
        self.child = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        self.versions = self.ask({"version": True})

    def ask(self, request):
        self.child.stdin.write(json.dumps(request) + "\n")
        self.child.stdin.flush()
        line = self.child.stdout.readline()
        if not line:
            raise RuntimeError(f"{self.what} stopped on {request}")
        return json.loads(line)
