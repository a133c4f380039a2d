"""The bus's TCP form: JSON lines, one response per request in order, a token checked on the
first request of every connection, event lines after subscribe."""
import json
import select


def serve(conn, device, token):
    handles = {}  # handle -> the device face's generation it was opened on
    next_handle = 1
    admitted = not token
    buffer = b""
    with conn:
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                return
            buffer += chunk
            while b"\n" in buffer:
                line, buffer = buffer.split(b"\n", 1)
                try:
                    request = json.loads(line)
                    if not isinstance(request, dict):
                        raise ValueError
                except ValueError:
                    conn.sendall(b'{"ok":false,"error":"malformed request"}\n')
                    continue
                op = request.get("op")
                if not admitted:
                    if op == "hello" and request.get("token") == token:
                        admitted = True
                    else:
                        conn.sendall(b'{"ok":false,"error":"token required"}\n')
                        return
                response = {"ok": True}
                if op == "hello":
                    response.update(bus="tarvel-vbus", version=1)
                elif op == "list":
                    response.update(usb=device.usb(), volumes=device.volumes())
                elif op == "open":
                    generation = device.open(request.get("vid"), request.get("pid"))
                    if generation is None:
                        response = {"ok": False, "error": "no such device"}
                    else:
                        handles[next_handle] = generation
                        response["handle"] = next_handle
                        next_handle += 1
                elif op in ("write", "read", "close") and request.get("handle") not in handles:
                    response = {"ok": False, "error": "bad handle"}
                elif op == "write":
                    data = bytes.fromhex(request.get("data", ""))
                    if device.write(handles[request["handle"]], data):
                        response["written"] = len(data)
                    else:
                        response = {"ok": False, "error": "device disconnected"}
                elif op == "read":
                    report = device.read(handles[request["handle"]], int(request.get("timeout_ms", 0)))
                    if report is None:
                        response = {"ok": False, "error": "device disconnected"}
                    else:
                        response["data"] = report[:int(request.get("max", len(report)))].hex()
                elif op == "close":
                    del handles[request["handle"]]
                elif op == "subscribe":
                    conn.sendall(b'{"ok":true}\n')
                    events(conn, device)
                    return
                elif op == "volume":
                    if not device.volume_step(request.get("root"), request.get("step")):
                        response = {"ok": False, "error": "volume step failed"}
                else:
                    response = {"ok": False, "error": "unknown op"}
                conn.sendall(json.dumps(response, separators=(",", ":")).encode() + b"\n")


def events(conn, device):
    """Sends the device's events in order until the client closes the connection."""
    queue = []
    with device.lock:
        device.subscribers.append(queue)
    try:
        while True:
            with device.lock:
                device.lock.wait_for(lambda: queue, 0.2)
                lines, queue[:] = list(queue), []
            for line in lines:
                conn.sendall(json.dumps(line, separators=(",", ":")).encode() + b"\n")
            if select.select([conn], [], [], 0)[0] and not conn.recv(1):
                return
    except OSError:
        return
    finally:
        with device.lock:
            device.subscribers.remove(queue)
