"""The benchmark's kernel: ipykernel whose iopub socket queues every output instead of dropping.

A PUB socket (XPUB in newer releases) drops what exceeds its high-water mark (1,000
messages) when its subscriber, here the server, falls behind; a flood would then measure how
many outputs were dropped. Unbounded, the kernel's queue holds the flood and the server reads
it at its own pace.

    python bench/flood_kernel.py -f <connection file>
"""

import zmq


def _unbounded(socket_method):
    def socket(self, socket_type, *args, **kwargs):
        made = socket_method(self, socket_type, *args, **kwargs)
        if socket_type in (zmq.PUB, zmq.XPUB):
            made.setsockopt(zmq.SNDHWM, 0)
        return made

    return socket


zmq.Context.socket = _unbounded(zmq.Context.socket)

if __name__ == "__main__":
    from ipykernel import kernelapp

    kernelapp.launch_new_instance()
