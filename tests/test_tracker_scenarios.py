"""Still-target removal end to end: generated frame sequences through RecognitionMode.main."""
import numpy as np
import pytest

INFO = {"behavior_info": "b", "info_name": "n", "info_ftime": "f", "info_type": "t"}
CAR = [400, 300, 600, 420]


def frame(boxes, number=1002001):
    return {"alarmBehavior": [{
        "behavior_number": number, "alarm_info": "", "alarm_info_dict": dict(INFO),
        "result": [{"roi_name": "gate", "boxes": [list(map(int, b)) for b in boxes]}],
    }]}


def alarmed(rm, boxes, dev="cam"):
    return bool(rm.main(None, dev, frame(boxes), "TargetRadius")["alarmBehavior"])


def parked(rng, box, jitter=3):
    return (np.array(box) + rng.integers(-jitter, jitter + 1, 4)).tolist()


def walker(x0, speed, f, y0=500):
    return [x0 + speed * f, y0, x0 + speed * f + 80, y0 + 200]


def test_parked_cars_lose_alarm_from_second_frame(rm):
    rng = np.random.default_rng(0)
    seen = [alarmed(rm, [parked(rng, CAR), parked(rng, [900, 300, 1100, 420])]) for _ in range(50)]
    assert seen == [True] + [False] * 49


@pytest.mark.parametrize("speed, from_frame", [(15, 0), (3, 10), (2, 10)])
def test_walkers_keep_alarm(rm, speed, from_frame):
    rng = np.random.default_rng(1)
    seen = [alarmed(rm, [parked(rng, walker(100, speed, f)), parked(rng, walker(1000, -speed, f))])
            for f in range(60)]
    assert all(seen[from_frame:])


@pytest.mark.parametrize("walkers, kept", [(1, False), (2, True)])
def test_one_moving_box_is_tolerated(rm, walkers, kept):
    rng = np.random.default_rng(2)
    for f in range(30):
        boxes = [parked(rng, CAR)] + [walker(100 + 400 * k, 20, f) for k in range(walkers)]
        seen = alarmed(rm, boxes)
    assert seen == kept


def test_leaving_and_arriving_targets(rm):
    cars = [CAR, [900, 300, 1100, 420], [1300, 600, 1500, 720]]
    alarmed(rm, cars)
    alarmed(rm, cars)
    assert len(rm.static_list) == 3
    arrived = [100, 100, 300, 220]
    alarmed(rm, [cars[0], arrived, cars[2]])
    assert (rm.del_list, rm.unmatch_list, len(rm.static_list)) == ([1], [1], 2)
    alarmed(rm, [cars[0], arrived, cars[2]])
    assert len(rm.static_list) == 3


def test_classes_never_match(mod):
    cam = mod.Camera()
    cam.run([CAR], ["1002001"])
    static, unmatch, _, gone = cam.run([CAR, CAR], ["1002006", "1002001"])
    assert (len(static), unmatch, gone) == (1, [0], [])
    assert [t.cls for t in cam.state_list] == ["1002001", "1002006"]


def test_refresh_starts_fresh_trackers(rm, mod, monkeypatch):
    now = [0.0]
    monkeypatch.setattr(mod, "get_current_time", lambda: now[0])
    cars = [CAR, [900, 300, 1100, 420]]
    seen = []
    for t in (0, 1, 599, 600, 601, 602):
        now[0] = float(t)
        seen.append(alarmed(rm, cars))
    # The refresh at 600 drops the trackers after that frame's result is decided.
    assert seen == [True, False, False, False, True, False]
