"""Python twins of the probe module's native coroutines and async generators: each one does in
Python what its native namesake does in C++, so that driving both the same way must leave the
same trace. Their names are the native ones' qualified names, which messages and warnings show."""


async def await_one(awaitable):
    return await awaitable


async def await_each(awaitables):
    return [await awaitable for awaitable in awaitables]


async def await_catching(awaitable):
    try:
        return await awaitable
    except Exception as error:
        return ("caught", str(error))


async def await_nested(awaitable, depth=1):
    if depth <= 1:
        return await await_one(awaitable)
    return await await_nested(awaitable, depth - 1)


async def catch_nested(awaitable):
    try:
        return await await_one(awaitable)
    except Exception as error:
        return ("caught", str(error))


async def await_reporting(awaitable, on_exit):
    try:
        result = await awaitable
    except BaseException as error:
        on_exit(type(error).__name__)
        raise
    on_exit("returned")
    return result


async def call(function):
    return function()


async def stubborn():
    try:
        yield 1
    except BaseException:
        pass
    yield 2


async def count_up(count, tick, on_exit):
    try:
        for i in range(count):
            await tick()
            yield i
    except BaseException as error:
        await tick()
        on_exit(type(error).__name__)
        raise
    await tick()
    on_exit("finished")
